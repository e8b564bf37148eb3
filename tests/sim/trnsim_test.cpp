// The trnsim program: first line, link, prompt commands, log, clean exits.
// The binary is looked up next to the test's build directory (build/trnsim
// for build/tests/test_sim), or in $TRNSIM.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>

#include "board.h"
#include "sim_client.h"

using namespace std::chrono_literals;
using trnsim::make_frame;

namespace {

std::string trnsim_binary() {
  if (const char *env = std::getenv("TRNSIM")) return env;
  return TRNSIM_PATH;
}

// True when `out` has a line "HH:MM:SS.mmm " followed by exactly `rest`.
bool has_log_line(const std::string &out, const std::string &rest) {
  const std::string shape = "00:00:00.000 ";
  size_t start = 0;
  for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = out.substr(start, nl - start);
    if (line.size() != shape.size() + rest.size() || line.compare(shape.size(), rest.size(), rest))
      continue;
    bool ok = true;
    for (size_t i = 0; i < shape.size(); ++i) {
      ok = ok && (shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i]);
    }
    if (ok) return true;
  }
  return false;
}

// The trnsim program as a child of the test.
class Child : public simclient::Program {
 public:
  explicit Child(std::vector<std::string> args) : Program(trnsim_binary(), std::move(args)) {}
};

class TrnsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat st {};
    ASSERT_EQ(0, stat(trnsim_binary().c_str(), &st)) << "no trnsim at " << trnsim_binary();
    link_ = "/tmp/trnsim_test_link." + std::to_string(getpid());
  }
  bool link_exists() const {
    struct stat st {};
    return lstat(link_.c_str(), &st) == 0;
  }
  std::string link_;
};

TEST_F(TrnsimTest, ServesTheLinkAndTakesPromptCommands) {
  Child sim({"--link", link_, "--major", "12", "--minor", "34", "--firmware", "56"});
  const std::string path = sim.first_line();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  char target[256] = {};
  ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(path, target);

  simclient::Port port(link_);
  ASSERT_TRUE(port.ok());
  ASSERT_TRUE(port.write(make_frame(0x00, 0, 0)));
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x00, 0x12, 0x34));
  ASSERT_TRUE(port.write(make_frame(0x01, 0, 0)));
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x01, 0x00, 0x56));

  sim.send("press nurse");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x08, 0x00));
  sim.send("plug Mic_In");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x88, 0x00));
  sim.send("release nurse");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x80, 0x00));
  sim.send("status 49 03");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x49, 0x03));
  sim.send("raw 1b 42 02");
  EXPECT_EQ(port.read(3, 3000ms), (trnsim::Frame{0x1B, 0x42, 0x02}));

  sim.send("fault short 2");
  sim.read_until("fault short 2\n");  // in force before the command goes out
  ASSERT_TRUE(port.write(make_frame(0x06, 0, 0)));
  EXPECT_EQ(port.read(2, 3000ms), (trnsim::Frame{0x1B, 0x42}));
  sim.send("fault none");
  sim.read_until("fault none\n");
  ASSERT_TRUE(port.write(make_frame(0x06, 0x01, 0x0C)));
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x06, 0x01, 0x0C));

  sim.send("plug power");
  sim.send("bogus");
  sim.send("show");
  const std::string out = sim.read_until("status 49 03  fault none");
  EXPECT_NE(out.find("error: plug: only line-out or mic-in"), std::string::npos);
  EXPECT_NE(out.find("error: unknown command 'bogus' (type 'help')"), std::string::npos);
  EXPECT_NE(out.find("volume 12"), std::string::npos);
  // The log: one line per frame received and per run sent.
  EXPECT_TRUE(has_log_line(out, "<- 1b 42 00 00 00 5d 0d"));
  EXPECT_TRUE(has_log_line(out, "-> 1b 42 00 12 34 a3 0d"));
  EXPECT_TRUE(has_log_line(out, "-> 1b 42"));  // the short reply

  sim.send("quit");
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(link_exists());
}

TEST_F(TrnsimTest, EndsAtEndOfInput) {
  Child sim({"--link", link_, "--quiet"});
  ASSERT_FALSE(sim.first_line().empty());
  EXPECT_TRUE(link_exists());
  sim.close_stdin();
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(link_exists());
}

TEST_F(TrnsimTest, NoStdinKeepsRunningUntilSigterm) {
  Child sim({"--link", link_, "--quiet", "--no-stdin"});
  const std::string path = sim.first_line();
  ASSERT_FALSE(path.empty());
  sim.close_stdin();
  // Still serving after its input has ended.
  simclient::Port port(link_);
  ASSERT_TRUE(port.ok());
  ASSERT_TRUE(port.write(make_frame(0x07, 0, 0)));
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x07, 0x00, 0x08));
  ASSERT_EQ(kill(sim.pid(), SIGTERM), 0);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(link_exists());
  // --quiet: nothing but the path was printed.
  EXPECT_EQ(sim.read_until("\x01"), path + "\n");
}

// At a line rate a frame's bytes come one by one over the time they take on
// the line, and a reply sets out no sooner than the latency after the
// command's last byte would have reached the board.
TEST_F(TrnsimTest, LineRatePacesBothDirections) {
  using clock = std::chrono::steady_clock;
  Child sim({"--line-rate", "9600", "--latency", "10", "--quiet"});
  const std::string path = sim.first_line();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  simclient::Port port(path);
  ASSERT_TRUE(port.ok());
  // Reads n bytes one at a time, noting when each was read.
  auto read_timed = [&](size_t n, std::vector<clock::time_point> *when) {
    trnsim::Frame bytes;
    while (bytes.size() < n) {
      trnsim::Frame b = port.read(1, 3000ms);
      if (b.empty()) break;
      bytes.push_back(b[0]);
      when->push_back(clock::now());
    }
    return bytes;
  };
  auto us = [](clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  };
  const auto byte = us(trnsim::byte_time(9600));

  // A frame's 7 bytes take 6 byte times (6.9 ms) from the first to the
  // last.  A reader held up on a loaded machine reads the bytes that waited
  // for it all at once, so one frame may look bunched: judge the best of
  // four frames sent back to back.
  constexpr int kFrames = 4;
  for (int k = 0; k < kFrames; ++k) sim.send("status 49 03");
  long long best = 0;
  for (int k = 0; k < kFrames; ++k) {
    std::vector<clock::time_point> status;
    ASSERT_EQ(read_timed(7, &status), make_frame(0x02, 0x49, 0x03)) << k;
    best = std::max<long long>(best, us(status[6] - status[0]));
  }
  EXPECT_GE(best, 5000);

  // Delays on either side only make the reply later.
  std::vector<clock::time_point> reply;
  const auto sent = clock::now();
  ASSERT_TRUE(port.write(make_frame(0x07, 0, 0)));
  ASSERT_EQ(read_timed(7, &reply), make_frame(0x07, 0x00, 0x08));
  EXPECT_GE(us(reply[0] - sent), 7 * byte + 10000);
}

// Options as --option=VALUE, commands in any case, input names with blanks,
// fault counts checked, and a line hung up at once and taken up again with
// the board's settings.
TEST_F(TrnsimTest, CommandsHangUpAndReconnect) {
  Child sim({"--link=" + link_, "--line-rate=9600"});
  const std::string first = sim.first_line();
  ASSERT_EQ(first.rfind("/dev/pts/", 0), 0u) << first;
  simclient::Port port(link_);
  ASSERT_TRUE(port.ok());
  sim.send("PRESS volume up");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x00, 0x02));
  sim.send("plug line out");
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x02, 0x40, 0x02));
  for (const char *bad : {"fault short 0", "fault short 7", "fault noise 0", "fault silent 2"})
    sim.send(bad);
  sim.read_until("error: fault silent");
  ASSERT_TRUE(port.write(make_frame(0x06, 0x01, 0x0C)));
  EXPECT_EQ(port.read(7, 3000ms), make_frame(0x06, 0x01, 0x0C));  // the fault is still none

  sim.send("hangup");
  sim.read_until("hung up\n");
  EXPECT_FALSE(link_exists());  // the link goes with the line
  pollfd p{port.fd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 3000));
  EXPECT_TRUE(p.revents & POLLHUP);
  sim.send("press nurse");
  sim.send("reconnect");
  sim.send("show");
  const std::string out = sim.read_until("  fault none");
  size_t n = 0;
  for (size_t at = 0; (at = out.find("error: fault", at)) != std::string::npos; ++at) ++n;
  EXPECT_EQ(4u, n) << out;
  EXPECT_NE(std::string::npos, out.find("error: press: the line is hung up")) << out;
  // The new slave path on a line of its own, the link pointing to it.
  const size_t at = out.find("\n/dev/pts/", first.size());
  ASSERT_NE(std::string::npos, at) << out;
  const std::string path = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
  char target[256] = {};
  ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(path, target);
  simclient::Port again_port(link_);
  ASSERT_TRUE(again_port.ok());
  ASSERT_TRUE(again_port.write(make_frame(0x06, 0, 0)));
  EXPECT_EQ(again_port.read(7, 3000ms), make_frame(0x06, 0x00, 0x0C));
  sim.send("quit");
  EXPECT_EQ(sim.wait_exit(), 0);
}

TEST_F(TrnsimTest, RejectsBadOptions) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--major", "1ff"}, {"--frobnicate"}, {"--link"}, {"--link", ""},
        {"--line-rate", "9601"}, {"--line-rate", "0"}, {"--line-rate", "9600x"}}) {
    Child sim(args);
    EXPECT_EQ(sim.wait_exit(), 2) << args[0];
    EXPECT_EQ(sim.read_until("\x01"), "");
  }
}

}  // namespace
