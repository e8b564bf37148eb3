// trnctl as it is run: the built program as a child process against a
// simulated board on a pseudo-terminal.  Its exit status, standard output
// and standard error are captured; hooks act on each line it prints (press a
// button on a prompt, send SIGINT after a step) and on a clock tick.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../serial/hang_guard.h"
#include "board.h"
#include "sim_client.h"

using namespace std::chrono_literals;
using trnsim::Fault;
using trnsim::make_frame;

namespace {

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  std::vector<std::string> out_lines, err_lines;
};

struct Hooks {
  std::function<void(bool is_err, const std::string &line, pid_t child)> line;
  std::function<void(pid_t child)> tick;  // every 20 ms or so
  std::string out_file;  // standard output goes to this file instead
  size_t close_out_after = 0;  // lines; then standard output's reader leaves
  std::string cwd;
};

// Runs trnctl with args; TRN_DEVICE is unset.  A child still running after
// limit_s is killed and the test fails: a bound against hangs, not a timing.
Result run(const std::vector<std::string> &args, const Hooks &hooks = {}, int limit_s = 30) {
  Result res;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return res;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int file = hooks.out_file.empty() ? -1 : open(hooks.out_file.c_str(), O_WRONLY | O_CLOEXEC);
    dup2(file >= 0 ? file : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (!hooks.cwd.empty() && chdir(hooks.cwd.c_str()) != 0) _exit(126);
    unsetenv("TRN_DEVICE");
    std::vector<char *> argv{const_cast<char *>(TRNCTL_PATH)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TRNCTL_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  std::string partial[2];
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
  int open_fds = 2;
  while (open_fds > 0) {
    if (std::chrono::steady_clock::now() > limit) {
      ADD_FAILURE() << "trnctl did not end within " << limit_s << " s";
      kill(pid, SIGKILL);
      break;
    }
    if (hooks.tick) hooks.tick(pid);
    if (poll(fds, 2, 20) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i ? res.err : res.out).append(buf, static_cast<size_t>(n));
      partial[i].append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = partial[i].find('\n')) != std::string::npos;) {
        std::string line = partial[i].substr(0, nl);
        partial[i].erase(0, nl + 1);
        (i ? res.err_lines : res.out_lines).push_back(line);
        if (hooks.line) hooks.line(i == 1, line, pid);
      }
      if (i == 0 && res.out_lines.size() == hooks.close_out_after) {
        close(fds[0].fd);
        fds[0].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);
  int st = 0;
  waitpid(pid, &st, 0);
  res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return res;
}

// True when line is "S.mmm " (seconds since the start) followed by rest.
bool stamped(const std::string &line, const std::string &rest) {
  size_t dot = line.find('.');
  if (dot == 0 || dot == std::string::npos || line.size() != dot + 5 + rest.size()) return false;
  for (size_t i = 0; i < dot + 4; ++i)
    if (i != dot && !isdigit(static_cast<unsigned char>(line[i]))) return false;
  return line[dot + 4] == ' ' && line.compare(dot + 5, std::string::npos, rest) == 0;
}

// Every byte the board keeps (the struct holds bytes only, so no padding).
bool same_settings(const trnsim::Settings &a, const trnsim::Settings &b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

nlohmann::json read_json_file(const std::string &path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in, nullptr, false);  // "discarded" for bad JSON
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board.start());
    dev = board.slave_path();
  }
  void TearDown() override {
    board.set_logger(nullptr);
    board.stop();
  }
  // The board answers as usual, except that its reply to the ring-freq read
  // always names a frequency other than the one it holds.
  void lie_about_ring_freq() {
    board.set_fault(Fault::Silent);
    board.set_logger([this](const trnsim::LogEntry &e) {
      if (!e.received) return;
      trnsim::Frame reply = board.respond(e.bytes);
      if (e.bytes == make_frame(0x03, 0x04, 0x00) && !reply.empty())
        reply = make_frame(0x03, 0x04, static_cast<uint8_t>(reply[4] % 6 + 1));
      if (!reply.empty()) board.send_raw(reply);
    });
  }
  std::vector<std::string> with_device(std::vector<std::string> args) {
    args.insert(args.begin(), {"-d", dev});
    return args;
  }
  trnsim::Board board;
  std::string dev;
  HangGuard guard{"trnctl test", 120};
};

TEST_F(Cli, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  const std::string huge(10000, 'v');
  struct Case {
    std::vector<std::string> args;
    std::string names;  // the message names the valid values
  } cases[] = {
      {{"get", huge}, "volume, brightness"},
      {{"set", "volume=" + huge}, "0 to 15"},
      {{"get", "loudness"}, "volume, brightness"},
      {{"set", "volume=16"}, "0 to 15"},
      {{"set", "volume=-1"}, "0 to 15"},
      {{"set", "volume=0x5"}, "0 to 15"},
      {{"set", "volume=3", "gpio=3"}, "0, 1, 2, or none"},
      {{"set", "audio=jack"}, "jack-line-out"},
      {{"set", "membrane=blue"}, "off, green, orange, on"},
      {{"frobnicate"}, "info, get, set"},
      {{"backlight", "dim"}, "off, on"},
      {{"raw", "06", "100", "00"}, "00 to ff"},
      {{"-t", "0", "get"}, "1 to 60000"},
      {{"get", "-v"}, "before the command"},
      {{"get", "volume", "--", "--json"}, "volume, brightness"},
      {{"--", "--json", "get"}, "info, get, set"},
      // An argument reaches the terminal escaped, once, whoever's text quotes it.
      {{"get", "\x1b]0;pwned\x07\x1b[2J"}, "'\\x1b]0;pwned\\x07\\x1b[2J' (settings:"},
      {{"-t", "\x1b[2J", "get"}, "'\\x1b[2J' is not a number"},
      {{"get", "--\x1b[2J"}, "\\x1b[2J"},
  };
  for (const Case &c : cases) {
    Result r = run(with_device(c.args));
    SCOPED_TRACE(c.args.back().substr(0, 40));
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    ASSERT_EQ(1u, r.err_lines.size()) << r.err;
    EXPECT_EQ(0u, r.err_lines[0].rfind("trnctl: ", 0)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.names)) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find('\x1b')) << r.err;
    EXPECT_LT(r.err.size(), 400u);
  }
  EXPECT_EQ(0u, board.received_count());
}

TEST_F(Cli, SetWritesReadsBackAndGetPrintsTextAndJson) {
  Result set = run(with_device({"set", "volume=12", "gpio=0,2", "membrane=orange",
                                "audio=int-mic-in,jack-line-out", "ring=off"}));
  ASSERT_EQ(0, set.status) << set.err;
  EXPECT_EQ("volume=12\ngpio=0,2\nmembrane=orange\naudio=jack-line-out,int-mic-in\nring=off\n",
            set.out);
  trnsim::Settings s = board.settings();
  EXPECT_EQ(12, s.volume);
  EXPECT_EQ(0x05, s.switch1);
  EXPECT_EQ(2, s.membrane);
  EXPECT_EQ(0x09, s.switch2);
  EXPECT_EQ(0, s.ring_on);

  s.membrane = 4;  // outside the vocabulary: shown as the number
  board.set_settings(s);
  Result get = run(with_device({"--json", "get"}));
  ASSERT_EQ(0, get.status) << get.err;
  auto j = nlohmann::ordered_json::parse(get.out);
  EXPECT_EQ(13u, j.size());
  EXPECT_EQ("volume", j.begin().key());
  EXPECT_EQ(12, j["volume"]);
  EXPECT_EQ(4, j["membrane"]);
  EXPECT_EQ(nlohmann::ordered_json({0, 2}), j["gpio"]);
  EXPECT_EQ(nlohmann::ordered_json({"jack-line-out", "int-mic-in"}), j["audio"]);

  Result twice = run(with_device({"--", "get", "volume", "ring", "volume"}));
  EXPECT_EQ("volume=12\nring=off\n", twice.out);  // each setting once, as in JSON

  Result text = run(with_device({"-v", "get", "membrane"}));
  EXPECT_EQ("membrane=4\n", text.out);
  ASSERT_EQ(2u, text.err_lines.size()) << text.err;
  EXPECT_TRUE(stamped(text.err_lines[0], "-> 1b 42 09 04 00 6a 0d")) << text.err_lines[0];
  EXPECT_TRUE(stamped(text.err_lines[1], "<- 1b 42 09 04 04 6e 0d")) << text.err_lines[1];
}

TEST_F(Cli, ExchangeUnderEachFault) {
  struct Case {
    Fault fault;
    int param;
    int status;
    std::string says;
    size_t frames;  // sent to the board: 1 + one retry on failure
  } cases[] = {
      {Fault::Silent, 0, 1, "volume read: no reply after 2 tries", 2},
      {Fault::BadChecksum, 0, 1, "volume read: invalid reply after 2 tries", 2},
      {Fault::Short, 4, 1, "volume read: short reply after 2 tries", 2},
      {Fault::Delay, 300, 1, "volume read: no reply after 2 tries", 2},
      {Fault::Noise, 3, 0, "", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.says);
    board.set_fault(c.fault, c.param);
    board.clear_received();
    Result r = run(with_device({"-t", "100", "-r", "1", "get", "volume"}));
    EXPECT_EQ(c.status, r.status);
    if (c.status == 0) {
      EXPECT_EQ("volume=8\n", r.out);
    } else {
      EXPECT_EQ("", r.out);
      EXPECT_EQ("trnctl: " + dev + ": " + c.says + "\n", r.err);
    }
    EXPECT_TRUE(board.wait_received(c.frames, 2s));
    std::this_thread::sleep_for(400ms);  // a delayed reply has gone out
    EXPECT_EQ(c.frames, board.received_count());
  }
}

TEST_F(Cli, PortHeldElsewhereAndWrongBoard) {
  {
    int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    Result r = run(with_device({"get", "volume"}));
    close(fd);
    EXPECT_EQ(4, r.status);
    EXPECT_EQ("trnctl: " + dev + " is in use by another program\n", r.err);
    EXPECT_EQ(0u, board.received_count());
  }
  trnsim::Settings s = board.settings();
  s.major = 0x08;
  board.set_settings(s);
  Result r = run(with_device({"info"}));
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("model=Q842\nfirmware=11\naccepted=no\n", r.out);
  const std::string report = testing::TempDir() + "cli_selftest_q842.json";
  EXPECT_EQ(3, run(with_device({"selftest", "--report", report})).status);
  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("fail", rec["outcome"]);
  EXPECT_EQ("the board is a Q842, not a Q742", rec["reason"]);
}

TEST_F(Cli, ReadBackThatDiffersFailsSetAndSelftest) {
  lie_about_ring_freq();
  Result set = run(with_device({"set", "volume=3", "ring-freq=3"}));
  EXPECT_EQ(1, set.status);
  EXPECT_EQ("volume=3\nring-freq=4\n", set.out);
  EXPECT_NE(std::string::npos, set.err.find("ring-freq written as 3 but read back as 4")) << set.err;

  trnsim::Settings before = board.settings();
  before.volume = 11;
  before.switch2 = 0xC3;  // one of the mask's test values
  board.set_settings(before);
  const std::string report = testing::TempDir() + "cli_selftest_liar.json";
  // A link planted at the report's old fixed temporary name, pointing at a
  // file the report must never reach.
  const std::string planted = testing::TempDir() + "cli_selftest_planted";
  std::ofstream(planted) << "keep\n";
  unlink((report + ".tmp").c_str());
  ASSERT_EQ(0, symlink(planted.c_str(), (report + ".tmp").c_str()));
  Result r = run(with_device({"selftest", "--report", report, "--dut", "SN-1"}));
  EXPECT_EQ(1, r.status);
  char link[512] = {};
  ASSERT_GT(readlink((report + ".tmp").c_str(), link, sizeof link - 1), 0);
  EXPECT_EQ(planted, std::string(link));
  std::ifstream kept(planted);
  EXPECT_EQ("keep\n", std::string(std::istreambuf_iterator<char>(kept), {}));
  std::vector<std::string> failed;
  for (const auto &line : r.out_lines)
    if (line.rfind("FAIL ", 0) == 0) failed.push_back(line.substr(0, line.find(':')));
  // The saved frequency is a lie too, so restoring it cannot be verified.
  EXPECT_EQ((std::vector<std::string>{"FAIL ring-freq", "FAIL restore"}), failed) << r.out;
  ASSERT_FALSE(r.out_lines.empty());
  EXPECT_EQ("selftest: FAIL (2 of 17 steps)", r.out_lines.back());
  trnsim::Settings after = board.settings();
  after.ring_freq = before.ring_freq;
  EXPECT_TRUE(same_settings(before, after));

  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("fail", rec["outcome"]);
  EXPECT_EQ("SN-1", rec["dut"]);
  EXPECT_EQ("1.1.1", rec["version"]);
  ASSERT_EQ(17u, rec["steps"].size());
  EXPECT_EQ("volume", rec["steps"][2]["name"]);
  EXPECT_EQ(nlohmann::json({0, 15}), rec["steps"][2]["written"]);
  EXPECT_EQ(nlohmann::json({0, 15}), rec["steps"][2]["read"]);
  EXPECT_EQ(nlohmann::json({"jack-line-out", "remote-line-out", "jack-mic-in", "remote-mic-in"}),
            rec["steps"][11]["written"][0]);
}

TEST_F(Cli, SigintDuringSelftestRestoresTheSettings) {
  trnsim::Settings before = board.settings();
  before.volume = 5;
  before.membrane = 3;
  before.switch1 = 0x02;
  before.pass_delay = 7;
  board.set_settings(before);
  // SIGINT while trnctl waits for the reply to "backlight off", when every
  // setting holds a test value.
  std::atomic<pid_t> child{0};
  board.set_logger([&](const trnsim::LogEntry &e) {
    if (e.received && e.bytes[2] == 0x05 && e.bytes[3] == 0x00 && child.load() > 0)
      kill(child.load(), SIGINT);
  });
  const std::string report = testing::TempDir() + "cli_selftest_sigint.json";
  Hooks hooks;
  hooks.tick = [&](pid_t pid) { child = pid; };
  Result r = run(with_device({"selftest", "--report", report}), hooks);
  EXPECT_EQ(130, r.status) << r.out << r.err;
  EXPECT_TRUE(same_settings(before, board.settings()));  // the backlight on too
  EXPECT_NE(std::string::npos, r.out.find("FAIL backlight: interrupted")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("PASS restore")) << r.out;
  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("aborted", rec["outcome"]);
  EXPECT_EQ("interrupted", rec["reason"]);
}

TEST_F(Cli, ButtonsPressedOnEachPromptPass) {
  Hooks hooks;
  int prompts = 0;
  hooks.line = [&](bool is_err, const std::string &line, pid_t) {
    std::string name;
    for (const char *prompt : {"press and release ", "plug and unplug "})
      if (line.rfind(prompt, 0) == 0) name = line.substr(strlen(prompt));
    if (!is_err || name.empty()) return;
    trnsim::Input in;
    ASSERT_TRUE(trnsim::parse_input(name, &in)) << line;
    ++prompts;
    board.press(in);
    board.release(in);
  };
  Result r = run(with_device({"selftest", "--buttons", "--button-timeout", "5"}), hooks);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(9, prompts);
  ASSERT_FALSE(r.out_lines.empty());
  EXPECT_EQ("selftest: PASS (26 steps)", r.out_lines.back());
  EXPECT_NE(std::string::npos, r.out.find("PASS mic-in\n"));
}

TEST_F(Cli, WatchDecodesStatusFramesAndEndsOnHangUp) {
  Hooks hooks;
  hooks.tick = [&](pid_t) { board.send_status(0x09, 0x02); };
  Result json = run(with_device({"--json", "watch", "--count", "2"}), hooks);
  EXPECT_EQ(0, json.status) << json.err;
  ASSERT_EQ(2u, json.out_lines.size());
  auto j = nlohmann::json::parse(json.out_lines[1]);
  EXPECT_EQ(nlohmann::json({"cradle", "vol-up", "nurse"}), j["active"]);
  EXPECT_EQ("09", j["a"]);
  EXPECT_EQ("02", j["b"]);

  // Frames until the first line, then the line goes dead.
  bool seen = false;
  hooks.tick = [&](pid_t) {
    if (!seen) board.send_status(0x00, 0x00);
  };
  hooks.line = [&](bool is_err, const std::string &, pid_t) {
    if (!is_err && !seen) {
      seen = true;
      board.hang_up();
    }
  };
  Result r = run(with_device({"watch"}), hooks, 10);
  EXPECT_EQ(1, r.status);
  ASSERT_FALSE(r.out_lines.empty());
  EXPECT_TRUE(stamped(r.out_lines[0], "-")) << r.out_lines[0];
  EXPECT_EQ("trnctl: " + dev + ": the port hung up\n", r.err);
}

TEST_F(Cli, HangUpDuringSelftestReportsTheStepsSoFar) {
  // The line goes dead at the first brightness write.
  board.set_logger([&](const trnsim::LogEntry &e) {
    if (e.received && e.bytes[2] == 0x07 && e.bytes[3] == 0x01) board.hang_up();
  });
  const std::string report = testing::TempDir() + "cli_selftest_hangup.json";
  Result r = run(with_device({"selftest", "--report", report}), {}, 10);
  EXPECT_EQ(1, r.status);
  ASSERT_FALSE(r.out_lines.empty());
  EXPECT_EQ("selftest: FAIL (14 of 17 steps): the port hung up", r.out_lines.back());
  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  // A fixture fault, not the unit's: every planned step is there, those
  // after the hang-up skipped.
  EXPECT_EQ("error", rec["outcome"]);
  ASSERT_EQ(17u, rec["steps"].size());
  EXPECT_EQ("brightness", rec["steps"][3]["name"]);
  EXPECT_EQ("the port hung up", rec["steps"][3]["why"]);
  EXPECT_EQ(1, rec["steps"][3]["tries"]);
  EXPECT_EQ("skipped", rec["steps"][4]["outcome"]);
  EXPECT_EQ("skipped", rec["steps"][16]["outcome"]);
}

// A run cut short after its first writes (killed, or its port hung up)
// leaves test values on the unit; its retest restores the settings the first
// run saved, and its record names that run.  After a pass the retest takes
// the board's settings as it finds them.
TEST_F(Cli, RetestRestoresTheSettingsOfARunCutShort) {
  enum End { Killed, HungUp, Passed };
  for (End end : {Killed, HungUp, Passed}) {
    SCOPED_TRACE(end);
    const std::string db = testing::TempDir() + "cli_retest_" + std::to_string(end) + ".db";
    for (const char *x : {"", "-wal", "-shm"}) unlink((db + x).c_str());
    trnsim::Board first, second;
    ASSERT_TRUE(first.start() && second.start());
    trnsim::Settings own = first.settings();
    own.volume = 11;
    own.brightness = 3;
    first.set_settings(own);
    std::atomic<pid_t> child{0};
    first.set_logger([&](const trnsim::LogEntry &e) {  // at the first brightness write
      if (!e.received || e.bytes[2] != 0x07 || e.bytes[3] != 0x01) return;
      if (end == Killed) kill(child.load(), SIGKILL);
      if (end == HungUp) first.hang_up();
    });
    Hooks hooks;
    hooks.tick = [&](pid_t pid) { child = pid; };
    Result r = run({"-d", first.slave_path(), "selftest", "--dut", "SN-7", "--db", db}, hooks);
    EXPECT_EQ(end == Killed ? 128 + SIGKILL : end == HungUp ? 1 : 0, r.status) << r.err;
    first.set_logger(nullptr);

    // The same unit behind another line, as the first run left it (after a
    // pass, with a setting changed by hand: the unit's own now).
    trnsim::Settings found = first.settings();
    EXPECT_EQ(end != Passed, !same_settings(own, found));  // test values left behind
    if (end == Passed) found.volume = 2;
    second.set_settings(found);
    r = run({"-d", second.slave_path(), "selftest", "--dut", "SN-7", "--db", db});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(same_settings(end == Passed ? found : own, second.settings()));

    Result listed = run({"records", "--json", "--db", db});
    ASSERT_EQ(2u, listed.out_lines.size());
    const auto retest = nlohmann::json::parse(listed.out_lines[0]);
    const auto cut = nlohmann::json::parse(listed.out_lines[1]);
    // The first run's save step reached the record before its first write
    // (a run killed has no other step).
    const size_t saved_at = end == Killed ? 0 : 1;
    EXPECT_EQ("save", cut["steps"][saved_at]["name"]);
    EXPECT_EQ(11, cut["steps"][saved_at]["read"]["volume"]);
    const std::string said = "restoring the settings saved by run " +
                             cut["id"].get<std::string>() + " of " +
                             cut["started"].get<std::string>();
    EXPECT_EQ(end == Passed ? nlohmann::json() : nlohmann::json(said), retest["steps"][1]["why"]);
    EXPECT_EQ(end == Passed ? std::string::npos : 0, r.err.find(said)) << r.err;
  }
}

// Standard output on a full disk: each command fails; the self-test stops
// and records why.
TEST_F(Cli, StandardOutputThatCannotBeWrittenFailsTheCommand) {
  const std::string report = testing::TempDir() + "cli_selftest_full.json";
  Hooks full;
  full.out_file = "/dev/full";
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {"get", "volume"}, {"--json", "info"}, {"selftest", "--report", report}}) {
    Result r = run(with_device(args), full);
    EXPECT_EQ(1, r.status) << args[0];
    EXPECT_EQ("trnctl: standard output: No space left on device\n", r.err) << args[0];
  }
  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("aborted", rec["outcome"]);
  EXPECT_EQ("standard output: No space left on device", rec["reason"]);
}

// A reader that leaves after three lines (| head -n 3): the self-test
// restores the board and records it; watch ends quietly.
TEST_F(Cli, AReaderThatLeavesStopsSelftestButNotWatch) {
  const trnsim::Settings before = board.settings();
  board.set_reply_latency(30);  // the run outlasts the reader by far
  const std::string report = testing::TempDir() + "cli_selftest_pipe.json";
  Hooks head;
  head.close_out_after = 3;
  Result r = run(with_device({"selftest", "--report", report}), head);
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_TRUE(same_settings(before, board.settings()));
  nlohmann::json rec = read_json_file(report);
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("aborted", rec["outcome"]);
  EXPECT_EQ("standard output: Broken pipe", rec["reason"]);

  head.tick = [&](pid_t) { board.send_status(0x01, 0x00); };
  Result watch = run(with_device({"watch"}), head);
  EXPECT_EQ(0, watch.status);
  EXPECT_EQ("", watch.err);
}

TEST_F(Cli, ReportThatCannotBeWrittenAndPortThatCannotBeUsed) {
  const std::string report = testing::TempDir() + "cli_selftest_stale.json";
  std::ofstream(report) << R"({"outcome":"pass"})";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"selftest", "--report", ""}, 2, "--report: the path is empty"},
      {{"selftest", "--report", "-"}, 2, "--json prints the record on standard output"},
      {{"selftest", "--report", "/proc/version"}, 2, "cannot create a file in '/proc'"},
      {{"-d", "/nonexistent/tty", "selftest", "--report", report}, 4, "cannot open"},
  };
  for (const Case &c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.args[2];
    EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
  }
  nlohmann::json rec = read_json_file(report);  // not the earlier run's
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ("error", rec["outcome"]);
  EXPECT_EQ("/nonexistent/tty: cannot open: No such file or directory", rec["reason"]);
}

TEST_F(Cli, InterruptedSetNamesTheSettingsWritten) {
  std::atomic<pid_t> child{0};
  board.set_logger([&](const trnsim::LogEntry &e) {
    if (e.received && e.bytes[2] == 0x03 && child.load() > 0) kill(child.load(), SIGINT);
  });
  Hooks hooks;
  hooks.tick = [&](pid_t pid) { child = pid; };
  Result r = run(with_device({"set", "volume=3", "ring=off", "gpio=0"}), hooks);
  EXPECT_EQ(130, r.status);
  EXPECT_EQ("trnctl: interrupted (ring write); written before: volume=3\n", r.err);
}

// Replies 300 ms late never answer a later request, in the next run (after
// one interrupted once -v shows its write) or the same: a run fails, or
// prints the right values with its last read's answer in the trace.
TEST(CliLate, LateReplyNeverAnswersALaterRequest) {
  struct Case {
    std::vector<std::string> interrupted, args;
    std::string out, answer;
  } cases[] = {
      {{"get", "ring-volume"}, {"-t", "3000", "get", "ring-freq"}, "ring-freq=1\n", "03 04 01"},
      {{}, {"-t", "30", "-r", "20", "get", "ring", "ring-volume", "ring-freq"},
       "ring=on\nring-volume=low\nring-freq=1\n", "03 04 01"},
      {{}, {"-t", "6", "-r", "60", "set", "volume=9"}, "volume=9\n", "06 00 09"},
  };
  Hooks at_write;
  at_write.line = [](bool is_err, const std::string &line, pid_t child) {
    if (is_err && line.find(" -> ") != std::string::npos) kill(child, SIGINT);
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    trnsim::Board board;
    ASSERT_TRUE(board.start());
    board.set_reply_latency(300);
    auto on_board = [&](std::vector<std::string> args) {
      args.insert(args.begin(), {"-v", "-d", board.slave_path()});
      return args;
    };
    if (!c.interrupted.empty()) {
      EXPECT_EQ(130, run(on_board(c.interrupted), at_write).status);
    }
    Result r = run(on_board(c.args));
    EXPECT_EQ(r.status == 1 && c.interrupted.empty() ? 1 : 0, r.status) << r.err;
    EXPECT_EQ(r.status == 0 ? c.out : "", r.out);
    EXPECT_TRUE(r.status != 0 || r.err.find("<- 1b 42 " + c.answer) != std::string::npos) << r.err;
  }
}

TEST_F(Cli, PortFromTrnIniThatCannotBeOpenedIsNamedSo) {
  Hooks hooks;
  hooks.cwd = testing::TempDir() + "cli_trn_ini";
  mkdir(hooks.cwd.c_str(), 0755);
  std::ofstream(hooks.cwd + "/trn.ini") << "COM=100000\n";
  Result r = run({"get", "volume"}, hooks);
  EXPECT_EQ(4, r.status);
  EXPECT_EQ("trnctl: /dev/ttyS9999: cannot open: No such file or directory "
            "(chosen by COM= in ./trn.ini, read as 10000)\n", r.err);
}

// A fake sysfs and /dev tree under root: "L path target" is a symbolic link
// (targets from the tree's root), "F path text" a file.
void make_tree(const std::filesystem::path &root, const std::string &tree) {
  namespace fs = std::filesystem;
  std::istringstream lines(tree);
  for (std::string kind, path, value; lines >> kind >> path >> value;) {
    fs::create_directories((root / path).parent_path());
    if (kind == "L") fs::create_directory_symlink(root / value, root / path);
    else std::ofstream(root / path) << value << "\n";
  }
}

// trnctl ports against a sysfs tree as kernels lay it out.
// Ports on a PNP 8250, on serial-core's port devices (newer kernels), with
// no UART (type 0; no address), on USB with and without a serial number and
// by-id link, and a console that has no device.
TEST(CliPorts, ListsTheKernelsSerialPortsFromSysfs) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(testing::TempDir()) / ("cli_sysfs." + std::to_string(getpid()));
  fs::remove_all(root);
  const char *tree = R"(
L sys/class/tty/console sys/devices/virtual/tty/console
F sys/devices/virtual/tty/console/dev 5:1
L sys/class/tty/ttyS0 sys/devices/pnp0/00:04/tty/ttyS0
L sys/devices/pnp0/00:04/tty/ttyS0/device sys/devices/pnp0/00:04
L sys/devices/pnp0/00:04/driver sys/bus/pnp/drivers/serial
F sys/devices/pnp0/00:04/tty/ttyS0/type 4
F sys/devices/pnp0/00:04/tty/ttyS0/port 0x3F8
F sys/devices/pnp0/00:04/tty/ttyS0/iomem_base 0x0
L sys/class/tty/ttyS1 sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1
L sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1/device sys/devices/platform/serial8250/serial8250:0/serial8250:0.1
L sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/subsystem sys/bus/serial-base
L sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/driver sys/bus/serial-base/drivers/port
L sys/devices/platform/serial8250/serial8250:0/subsystem sys/bus/serial-base
L sys/devices/platform/serial8250/serial8250:0/driver sys/bus/serial-base/drivers/ctrl
L sys/devices/platform/serial8250/driver sys/bus/platform/drivers/serial8250
F sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1/type 16
F sys/devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1/port 0x2F8
L sys/class/tty/ttyS10 sys/devices/platform/serial8250/tty/ttyS10
L sys/devices/platform/serial8250/tty/ttyS10/device sys/devices/platform/serial8250
F sys/devices/platform/serial8250/tty/ttyS10/type 0
F sys/devices/platform/serial8250/tty/ttyS10/port 0x3E8
L sys/class/tty/ttyS2 sys/devices/platform/serial8250/tty/ttyS2
L sys/devices/platform/serial8250/tty/ttyS2/device sys/devices/platform/serial8250
F sys/devices/platform/serial8250/tty/ttyS2/type 4
F sys/devices/platform/serial8250/tty/ttyS2/port 0x0
F sys/devices/platform/serial8250/tty/ttyS2/iomem_base 0x0
L sys/class/tty/ttyUSB0 sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0
L sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0/device sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0
L sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0/driver sys/bus/usb-serial/drivers/ftdi_sio
F sys/devices/pci0000:00/usb1/1-2/idVendor 0403
F sys/devices/pci0000:00/usb1/1-2/idProduct 6001
F sys/devices/pci0000:00/usb1/1-2/serial A10K1XYZ
F sys/devices/pci0000:00/usb1/idVendor 1d6b
F sys/devices/pci0000:00/usb1/idProduct 0002
L dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0 dev/ttyUSB0
L sys/class/tty/ttyUSB1 sys/devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1
L sys/devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1/device sys/devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1
L sys/devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1/driver sys/bus/usb-serial/drivers/ch341-uart
F sys/devices/pci0000:00/usb1/1-3/idVendor 1a86
F sys/devices/pci0000:00/usb1/1-3/idProduct 7523
L sys/class/tty/ttyACM0 sys/devices/pci0000:00/usb1/1-4/1-4:1.0/tty/ttyACM0
L sys/devices/pci0000:00/usb1/1-4/1-4:1.0/tty/ttyACM0/device sys/devices/pci0000:00/usb1/1-4/1-4:1.0
L sys/devices/pci0000:00/usb1/1-4/1-4:1.0/driver sys/bus/usb/drivers/cdc_acm
F sys/devices/pci0000:00/usb1/1-4/idVendor 2341
F sys/devices/pci0000:00/usb1/1-4/idProduct 0043
F sys/devices/pci0000:00/usb1/1-4/serial 85735313
L dev/serial/by-id/usb-Arduino_Uno_85735313-if00 dev/ttyACM0
)";
  make_tree(root, tree);
  const std::string dev = (root / "dev").string();
  setenv("TRN_SYS_ROOT", (root / "sys").c_str(), 1);
  setenv("TRN_DEV_ROOT", dev.c_str(), 1);
  Result json = run({"--json", "ports"});
  Result text = run({"ports"});
  unsetenv("TRN_SYS_ROOT");
  unsetenv("TRN_DEV_ROOT");
  fs::remove_all(root);

  const nlohmann::json null;
  struct Port {
    std::string name, driver;
    nlohmann::json uart;
    bool no_uart;
    nlohmann::json usb, serial, by_id;
  } want[] = {
      {"ttyACM0", "cdc_acm", null, false, "2341:0043", "85735313", "usb-Arduino_Uno_85735313-if00"},
      {"ttyS0", "serial", "16550A", false, null, null, null},
      {"ttyS1", "serial8250", "type 16", false, null, null, null},
      {"ttyS2", "serial8250", null, true, null, null, null},
      {"ttyS10", "serial8250", null, true, null, null, null},
      {"ttyUSB0", "ftdi_sio", null, false, "0403:6001", "A10K1XYZ",
       "usb-FTDI_FT232R_USB_UART_A10K1XYZ-if00-port0"},
      {"ttyUSB1", "ch341-uart", null, false, "1a86:7523", null, null},
  };
  EXPECT_EQ(0, json.status) << json.err;
  ASSERT_EQ(std::size(want), json.out_lines.size()) << json.out;
  for (size_t i = 0; i < std::size(want); ++i) {
    const Port &w = want[i];
    const nlohmann::json by_id = w.by_id.is_null() ? null : nlohmann::json(dev + "/serial/by-id/" + w.by_id.get<std::string>());
    EXPECT_EQ(nlohmann::json({{"path", dev + "/" + w.name}, {"driver", w.driver}, {"uart", w.uart},
                              {"no_uart", w.no_uart}, {"usb", w.usb}, {"serial", w.serial},
                              {"by_id", by_id}}),
              nlohmann::json::parse(json.out_lines[i], nullptr, false)) << json.out_lines[i];
  }
  // The table: one row a port, the ports without a UART marked "none".
  EXPECT_EQ(0, text.status) << text.err;
  ASSERT_EQ(std::size(want) + 1, text.out_lines.size()) << text.out;
  EXPECT_EQ(0u, text.out_lines[0].rfind("port ", 0));
  EXPECT_EQ(0u, text.out_lines[4].find(dev + "/ttyS2 ")) << text.out_lines[4];
  std::istringstream row(text.out_lines[4]);
  std::vector<std::string> cells{std::istream_iterator<std::string>(row), {}};
  EXPECT_EQ((std::vector<std::string>{dev + "/ttyS2", "serial8250", "none", "-", "-", "-"}), cells);
}

// watch --reconnect through trnsim's hang-up and reconnect, by its --link
// name: the hang-up and the return are told on standard error, frames are
// decoded before and after, and SIGINT ends it with status 0.
TEST(CliReconnect, WatchWaitsForThePortAndGoesOn) {
  const std::string link = testing::TempDir() + "cli_reconnect." + std::to_string(getpid());
  simclient::Program sim(TRNSIM_PATH, {"--quiet", "--link", link});
  ASSERT_EQ(0u, sim.first_line().rfind("/dev/pts/", 0));
  enum { Before, Down, Back, Done } phase = Before;
  Hooks hooks;
  hooks.tick = [&](pid_t) {
    if (phase == Before) sim.send("status 08 00");  // nurse
    if (phase == Back) sim.send("status 01 00");    // cradle
  };
  hooks.line = [&](bool is_err, const std::string &line, pid_t child) {
    if (!is_err && phase == Before) {
      phase = Down;
      sim.send("hangup");
    } else if (is_err && phase == Down && line.find("hung up") != std::string::npos) {
      sim.send("reconnect");
    } else if (is_err && phase == Down && line.find("back at") != std::string::npos) {
      phase = Back;
    } else if (!is_err && phase == Back) {
      phase = Done;
      kill(child, SIGINT);
    }
  };
  Result r = run({"-d", link, "watch", "--reconnect"}, hooks);
  EXPECT_EQ(0, r.status) << r.err;
  // Frames sent before the hang-up, then after the return (a few more of
  // each may have come before the test acted).
  ASSERT_GE(r.out_lines.size(), 2u) << r.out;
  size_t nurse = 0;
  while (nurse < r.out_lines.size() && stamped(r.out_lines[nurse], "nurse")) ++nurse;
  EXPECT_GE(nurse, 1u) << r.out;
  for (size_t i = nurse; i < r.out_lines.size(); ++i)
    EXPECT_TRUE(stamped(r.out_lines[i], "cradle")) << r.out;
  EXPECT_LT(nurse, r.out_lines.size()) << r.out;
  ASSERT_EQ(2u, r.err_lines.size()) << r.err;
  EXPECT_EQ(0u, r.err_lines[0].rfind("trnctl: " + link + ": the port hung up at ", 0)) << r.err;
  EXPECT_NE(std::string::npos, r.err_lines[0].find(" s; waiting for it to come back")) << r.err;
  EXPECT_EQ(0u, r.err_lines[1].rfind("trnctl: " + link + ": back at ", 0)) << r.err;
  sim.send("quit");
  EXPECT_EQ(0, sim.wait_exit());
}

// Two adapters that look alike (one vendor, product and serial number) on
// USB ports 1-2 and 1-3, each a simulated board: ports marks both, and
// watch --reconnect on the first finds it again on its own USB port, not
// the look-alike.
TEST(CliLookAlikes, MarkedAndToldApartByTheirUsbPort) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(testing::TempDir()) / ("cli_alike." + std::to_string(getpid()));
  fs::remove_all(root);
  const std::string link[2] = {root.string() + ".a", root.string() + ".b"};
  simclient::Program sim_a(TRNSIM_PATH, {"--quiet", "--link", link[0]});
  simclient::Program sim_b(TRNSIM_PATH, {"--quiet", "--link", link[1]});
  ASSERT_EQ(0u, sim_a.first_line().rfind("/dev/pts/", 0));
  ASSERT_EQ(0u, sim_b.first_line().rfind("/dev/pts/", 0));
  struct stat pty;
  ASSERT_EQ(0, stat(link[0].c_str(), &pty));
  std::string tree;
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i), usb = "sys/devices/pci0000:00/usb1/1-" +
                                                   std::to_string(i + 2),
                      tty = usb + "/" + usb.substr(usb.rfind('/') + 1) + ":1.0/ttyUSB" + n;
    tree += "L sys/class/tty/ttyUSB" + n + " " + tty + "/tty/ttyUSB" + n + "\n" +
            "L " + tty + "/tty/ttyUSB" + n + "/device " + tty + "\n" +
            "F " + usb + "/idVendor 10c4\nF " + usb + "/idProduct ea60\nF " + usb +
            "/serial 0001\n";
  }
  // The port watch opens is the first adapter's.
  tree += "L sys/dev/char/" + std::to_string(major(pty.st_rdev)) + ":" +
          std::to_string(minor(pty.st_rdev)) +
          " sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\n";
  make_tree(root, tree);
  const std::string dev = (root / "dev").string();
  fs::create_directories(dev);
  for (int i = 0; i < 2; ++i)
    fs::create_symlink(link[i], dev + "/ttyUSB" + std::to_string(i));
  setenv("TRN_SYS_ROOT", (root / "sys").c_str(), 1);
  setenv("TRN_DEV_ROOT", dev.c_str(), 1);
  const Result json = run({"--json", "ports"}), text = run({"ports"});

  bool hung_up = false;
  Hooks hooks;
  hooks.tick = [&](pid_t) {
    sim_a.send("status 08 00");
    sim_b.send("status 01 00");
  };
  hooks.line = [&](bool is_err, const std::string &line, pid_t child) {
    if (!is_err && !hung_up) {
      hung_up = true;
      sim_a.send("hangup");
    } else if (is_err && line.find("hung up") != std::string::npos) {
      sim_a.send("reconnect");
    } else if (is_err && line.find("back at") != std::string::npos) {
      kill(child, SIGINT);
    }
  };
  const Result watch = run({"-d", link[0], "watch", "--reconnect"}, hooks);
  unsetenv("TRN_SYS_ROOT");
  unsetenv("TRN_DEV_ROOT");
  fs::remove_all(root);

  ASSERT_EQ(2u, json.out_lines.size()) << json.out << json.err;
  for (int i = 0; i < 2; ++i) {
    const nlohmann::json port = nlohmann::json::parse(json.out_lines[i], nullptr, false);
    EXPECT_EQ(true, port.value("look_alike", false)) << json.out_lines[i];
    EXPECT_EQ("pci0000:00/usb1/1-" + std::to_string(i + 2) + "/1-" + std::to_string(i + 2) +
                  ":1.0",
              port.value("usb_port", "")) << json.out_lines[i];
  }
  ASSERT_EQ(3u, text.out_lines.size()) << text.out;
  EXPECT_NE(std::string::npos, text.out_lines[1].find(" 0001* ")) << text.out;
  EXPECT_NE(std::string::npos, text.err.find("* adapters that look alike")) << text.err;

  EXPECT_EQ(0, watch.status) << watch.err;
  ASSERT_EQ(2u, watch.err_lines.size()) << watch.err;
  EXPECT_NE(std::string::npos,
            watch.err_lines[0].find("waiting for the adapter on its USB port "
                                    "(pci0000:00/usb1/1-2/1-2:1.0; others look alike)"))
      << watch.err;
  EXPECT_EQ(0u, watch.err_lines[1].rfind("trnctl: " + dev + "/ttyUSB0: back at ", 0)) << watch.err;
  for (simclient::Program *sim : {&sim_a, &sim_b}) {
    sim->send("quit");
    EXPECT_EQ(0, sim->wait_exit());
  }
}

}  // namespace
