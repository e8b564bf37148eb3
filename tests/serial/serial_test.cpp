// Serial port service: opening, line settings as handed to tcsetattr (a
// pseudo-terminal does not keep parity bits, so the attributes are checked
// where they are applied), failure reporting, timed reads and closing.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver_speed.h"
#include "hang_guard.h"
#include "serial.h"
#include "support.h"

// ---- tcsetattr seen from the outside ------------------------------------------
// The test binary is linked with --wrap=tcsetattr: every call lands here, is
// recorded, and fails on request (the plan is consumed call by call).
namespace {
struct Applied {
  int fd;
  termios t;
};
std::mutex attr_mu;
std::vector<Applied> applied;
std::vector<bool> fail_plan;

void reset_wrapper(std::vector<bool> plan = {}) {
  std::lock_guard<std::mutex> lock(attr_mu);
  applied.clear();
  fail_plan = std::move(plan);
}

// Every attribute set handed to tcsetattr for descriptor f, in order.
std::vector<termios> applied_to(int f) {
  std::lock_guard<std::mutex> lock(attr_mu);
  std::vector<termios> out;
  for (const auto &a : applied)
    if (a.fd == f) out.push_back(a.t);
  return out;
}
}  // namespace

extern "C" int __real_tcsetattr(int, int, const struct termios *);
extern "C" int __wrap_tcsetattr(int f, int action, const struct termios *t) {
  {
    std::lock_guard<std::mutex> lock(attr_mu);
    applied.push_back({f, *t});
    if (!fail_plan.empty()) {
      bool fail = fail_plan.front();
      fail_plan.erase(fail_plan.begin());
      if (fail) {
        errno = EIO;
        return -1;
      }
    }
  }
  return __real_tcsetattr(f, action, t);
}

namespace {

// Waits until n bytes are ready on descriptor f (bounded against a hang).
bool wait_input(int f, int n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int ready = 0;
  while (ioctl(f, FIONREAD, &ready) == 0 && ready < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ready >= n;
}

std::string perror_line(const char *prefix, int err) {
  return std::string(prefix) + ": " + strerror(err) + "\n";
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board.start());
    saved_parity_ = port_parity;
    reset_wrapper();
    ServiceState = false;
  }
  void TearDown() override {
    reset_wrapper();
    driver_keeps_speed = 0;
    port_parity = saved_parity_;
    CloseTRNService();
    ServiceState = false;
    board.stop();
  }

  struct Outcome {
    int result;
    std::string out, err;
  };
  Outcome open_port(const char *speed = "9600", const char *databits = "8",
                    const char *stopbits = "1", const char *path = nullptr) {
    StdoutCapture out;
    StderrCapture err;
    int r = OpenTRNService(path ? path : board.slave_path().c_str(), speed, "e", databits,
                           stopbits);
    std::string o = out.text();
    return {r, o, err.text()};
  }
  // A new pseudo-terminal for the next open: once a pty has dropped a parity
  // bit it was given, the C library reports the next tcsetattr asking for it
  // as failed (EINVAL), so every configuration starts from a fresh line.
  void fresh_line() {
    CloseTRNService();
    board.stop();
    ASSERT_TRUE(board.start());
  }
  // The attributes of the last tcsetattr on the service's descriptor.
  termios last_applied() {
    std::vector<termios> all = applied_to(fd);
    EXPECT_FALSE(all.empty());
    return all.empty() ? termios{} : all.back();
  }
  // Speed the port has now, read through a descriptor of our own.
  speed_t current_speed() {
    int probe = open(board.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(probe, 0);
    termios t{};
    tcgetattr(probe, &t);
    close(probe);
    return cfgetospeed(&t);
  }

  trnsim::Board board;
  const char *saved_parity_ = nullptr;
};

TEST_F(SerialTest, MissingDeviceIsReportedAndNothingIsOpened) {
  const char *path = "/nonexistent/trn-ttyS-test";
  ServiceState = true;  // a failed open leaves the state as it was
  Outcome o = open_port("9600", "8", "1", path);
  EXPECT_EQ(0, o.result);
  EXPECT_EQ(std::string("Open : Unable to Open ") + path + "\n", o.out);
  EXPECT_TRUE(ServiceState);
  EXPECT_EQ(-1, fd);
  EXPECT_TRUE(applied_to(-1).empty());
}

// A device that opens but is no terminal: its attributes cannot be read, so
// nothing is applied and the service is not usable.
TEST_F(SerialTest, DeviceWithoutTerminalAttributesIsRefused) {
  ServiceState = true;
  Outcome o = open_port("9600", "8", "1", "/dev/null");
  EXPECT_EQ(0, o.result);
  EXPECT_FALSE(ServiceState);
  EXPECT_EQ("", o.out);
  EXPECT_EQ(perror_line("SetupSerial error\n", ENOTTY), o.err);
  EXPECT_TRUE(applied_to(fd).empty());
}

TEST_F(SerialTest, DefaultsOpenAndApplyTheExactLineSettings) {
  Outcome o = open_port();
  ASSERT_EQ(1, o.result);
  EXPECT_TRUE(ServiceState);
  ASSERT_GE(fd, 0);
  EXPECT_EQ("", o.out);
  EXPECT_EQ("", o.err);
  // The open was non-blocking; afterwards reads wait as the terminal says.
  EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);

  termios t = last_applied();
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetispeed(&t));
  EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&t));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
  EXPECT_TRUE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & PARODD);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & HUPCL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_EQ(static_cast<tcflag_t>(INPCK), t.c_iflag);
  EXPECT_EQ(0u, t.c_oflag);
  EXPECT_EQ(static_cast<tcflag_t>(FLUSHO), t.c_lflag);
  EXPECT_EQ(1, t.c_cc[VTIME]);
  EXPECT_EQ(0, t.c_cc[VMIN]);
}

// Settings the port cannot take: a message on stderr (no line feed), result
// 0, service not usable, yet the descriptor stays open.
TEST_F(SerialTest, UnsupportedFramingFailsButKeepsTheDescriptor) {
  struct Row {
    const char *parity, *databits, *stopbits, *message;
  } rows[] = {
      {"e", "9", "1", "Unsupported data size "},
      {"e", "4", "1", "Unsupported data size "},
      {"x", "8", "1", "Unsupported parity "},
      {"E", "8", "1", "Unsupported parity "},  // texts are case-sensitive
      {"", "8", "1", "Unsupported parity "},
      {"e", "8", "3", "Unsupported stop bits "},
      {"e", "8", "0", "Unsupported stop bits "},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.parity) + " " + row.databits + " " + row.stopbits);
    fresh_line();
    port_parity = row.parity;
    ServiceState = true;
    Outcome o = open_port("9600", row.databits, row.stopbits);
    EXPECT_EQ(0, o.result);
    EXPECT_EQ(row.message, o.err);
    EXPECT_EQ("", o.out);
    EXPECT_FALSE(ServiceState);
    ASSERT_GE(fd, 0);
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
  }
}

TEST_F(SerialTest, ParityTextsAndStopBits) {
  struct Row {
    const char *parity, *stopbits;
    bool parenb, parodd, cstopb;
    tcflag_t iflag;
  } rows[] = {
      {"n", "1", false, false, false, 0},
      {"none", "1", false, false, false, 0},
      {"e", "1", true, false, false, INPCK},
      {"even", "2", true, false, true, INPCK},
      {"o", "1", true, true, false, INPCK},
      {"odd", "1", true, true, false, INPCK},
      {"s", "2", false, false, true, INPCK},  // the stop bits decide CSTOPB
      {"space", "1", false, false, false, INPCK},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.parity) + " stop " + row.stopbits);
    fresh_line();
    port_parity = row.parity;
    Outcome o = open_port("9600", "8", row.stopbits);
    ASSERT_EQ(1, o.result) << o.out << o.err;
    EXPECT_TRUE(ServiceState);
    termios t = last_applied();
    EXPECT_EQ(row.parenb, (t.c_cflag & PARENB) != 0);
    EXPECT_EQ(row.parodd, (t.c_cflag & PARODD) != 0);
    EXPECT_EQ(row.cstopb, (t.c_cflag & CSTOPB) != 0);
    EXPECT_EQ(row.iflag, t.c_iflag);
  }
}

TEST_F(SerialTest, DataBitsSelectCharacterSize) {
  struct Row {
    const char *databits;
    tcflag_t size;
  } rows[] = {{"5", CS5}, {"6", CS6}, {"7", CS7}, {"8", CS8}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.databits);
    fresh_line();
    ASSERT_EQ(1, open_port("9600", row.databits, "1").result);
    EXPECT_EQ(row.size, last_applied().c_cflag & CSIZE);
  }
}

// The parity letter itself, upper or lower case: only a lower-case 'n'
// leaves the input flags empty.
TEST_F(SerialTest, ParityLettersOfSetParity) {
  ASSERT_EQ(1, open_port().result);
  struct Row {
    int letter, stopbits;
    bool parenb, parodd, cstopb;
    tcflag_t iflag;
  } rows[] = {
      {'N', 1, false, false, false, INPCK}, {'n', 1, false, false, false, 0},
      {'O', 1, true, true, false, INPCK},   {'E', 1, true, false, false, INPCK},
      {'S', 2, false, false, true, INPCK},  {'s', 1, false, false, false, INPCK},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(1, static_cast<char>(row.letter)));
    reset_wrapper();
    ASSERT_EQ(1, set_Parity(fd, 8, row.stopbits, row.letter));
    termios t = last_applied();
    EXPECT_EQ(row.parenb, (t.c_cflag & PARENB) != 0);
    EXPECT_EQ(row.parodd, (t.c_cflag & PARODD) != 0);
    EXPECT_EQ(row.cstopb, (t.c_cflag & CSTOPB) != 0);
    EXPECT_EQ(row.iflag, t.c_iflag);
    EXPECT_EQ(static_cast<tcflag_t>(FLUSHO), t.c_lflag);
  }
  StderrCapture err;
  EXPECT_EQ(0, set_Parity(fd, 8, 1, 'x'));
  EXPECT_EQ("Unsupported parity ", err.text());
}

// A listed baud rate is applied both ways; one in no row leaves the speed
// the port had, and the open still succeeds.
TEST_F(SerialTest, SpeedsFromTheTableOrUnchanged) {
  struct Row {
    const char *speed;
    speed_t code;  // 0: the port keeps its speed
  } rows[] = {
      {"115200", B115200}, {"9601", 0}, {"50", B50},     {"0", 0},
      {"230400", B230400}, {"9600", B9600}, {"abc", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.speed);
    fresh_line();
    speed_t before = current_speed();
    reset_wrapper();
    Outcome o = open_port(row.speed);
    ASSERT_EQ(1, o.result);
    EXPECT_EQ("", o.err);
    termios t = last_applied();
    speed_t expected = row.code ? row.code : before;
    EXPECT_EQ(expected, cfgetispeed(&t));
    EXPECT_EQ(expected, cfgetospeed(&t));
    if (!row.code) {
      EXPECT_EQ(1u, applied_to(fd).size()) << "an unknown speed applies nothing";
    }
  }
}

TEST_F(SerialTest, FailingToApplyAttributes) {
  struct Row {
    std::vector<bool> plan;  // speed call, framing call
    int result;
    bool speed_message, setup_message;
  } rows[] = {
      {{true, true}, 0, true, true},
      {{true, false}, 1, true, false},  // the speed failing does not stop the rest
      {{false, true}, 0, false, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(::testing::Message() << row.plan[0] << row.plan[1]);
    fresh_line();
    reset_wrapper(row.plan);
    ServiceState = !row.result;
    Outcome o = open_port();
    EXPECT_EQ(row.result, o.result);
    EXPECT_EQ(row.result == 1, ServiceState);
    std::string expected_err;
    if (row.speed_message) expected_err += perror_line("tcsetattr fd1", EIO);
    if (row.setup_message) expected_err += perror_line("SetupSerial 3", EIO);
    EXPECT_EQ(expected_err, o.err);
    // The read-back finds the speed the port kept (a fresh pty's), and keeps
    // it for the caller.
    EXPECT_EQ(row.speed_message && row.result == 1
                  ? "speed 9600 (read back: 38400 in, 38400 out)"
                  : "",
              trn::service_read_back().not_applied);
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
  }
}

TEST_F(SerialTest, TimedReadsReturnWhatHasArrived) {
  ASSERT_EQ(1, open_port().result);
  unsigned char buf[7] = {};
  {
    HangGuard guard("read with nothing arriving", 10);
    EXPECT_EQ(0, read(fd, buf, sizeof buf));
  }
  const uint8_t three[3] = {0x1B, 0x42, 0x02};
  board.send_raw(three, sizeof three);
  ASSERT_TRUE(wait_input(fd, 3));
  {
    HangGuard guard("read with 3 bytes waiting", 10);
    ASSERT_EQ(3, read(fd, buf, sizeof buf));
  }
  EXPECT_EQ(0, memcmp(buf, three, 3));
}

// The simulated board's port opens and configures again after a close, as
// every restart of the panel (or a run of trnctl) against a running board
// needs, although a pseudo-terminal cannot carry the parity bit.
TEST_F(SerialTest, SimulatedBoardsPortConfiguresAgainAfterAClose) {
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    Outcome o = open_port();
    EXPECT_EQ(1, o.result);
    EXPECT_TRUE(ServiceState);
    EXPECT_EQ("", o.err);
    CloseTRNService();
  }
  trn::PortError error;
  std::string why;
  int port = trn::open_port(board.slave_path().c_str(), &error, &why);
  EXPECT_GE(port, 0) << why;
  EXPECT_EQ(trn::PortError::None, error);
  trn::close_port(port);
}

// One program at a time holds the port: trnctl is refused while the panel
// has it; the panel, finding it taken, says so and goes on.
TEST_F(SerialTest, HeldPortIsInUseForOthers) {
  ASSERT_EQ(1, open_port().result);
  trn::PortError error;
  std::string why;
  EXPECT_EQ(-1, trn::open_port(board.slave_path().c_str(), &error, &why));
  EXPECT_EQ(trn::PortError::InUse, error);
  CloseTRNService();

  int port = trn::open_port(board.slave_path().c_str(), &error, &why);
  ASSERT_GE(port, 0) << why;
  Outcome o = open_port();
  EXPECT_EQ(1, o.result);
  EXPECT_EQ(board.slave_path() + " is in use by another program\n", o.err);
  trn::close_port(port);
}

// Reached twice on one exit path: the second call must not close a number
// that has meanwhile been given to something else.
TEST_F(SerialTest, ClosingTwiceSparesAReusedDescriptor) {
  ASSERT_EQ(1, open_port().result);
  int service_fd = fd;
  CloseTRNService();
  EXPECT_EQ(-1, fcntl(service_fd, F_GETFD));
  EXPECT_EQ(service_fd, fd);
  EXPECT_TRUE(ServiceState);
  // Something else now gets the very number the service had.
  int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  int other = dup2(null_fd, service_fd);
  close(null_fd);
  ASSERT_EQ(service_fd, other);
  CloseTRNService();
  EXPECT_NE(-1, fcntl(other, F_GETFD));
  close(other);
}

// A driver that takes the request without an error but keeps a speed of its
// own (a UART that cannot do 9600): the service goes on with the port,
// printing nothing, and keeps the finding for the panel to tell; trnctl's
// open refuses the port, saying the same.
TEST_F(SerialTest, SettingsTheDriverDidNotApplyAreTold) {
  driver_keeps_speed = B4800;
  const std::string finding = "speed 9600 (read back: 4800 in, 4800 out)";
  Outcome o = open_port();
  EXPECT_EQ(1, o.result);
  EXPECT_TRUE(ServiceState);
  EXPECT_EQ("", o.err);
  EXPECT_EQ("", o.out);
  EXPECT_EQ(0, trn::service_read_back().err);
  EXPECT_EQ(finding, trn::service_read_back().not_applied);
  CloseTRNService();
  // A failed open forgets the last port's finding.
  open_port("9600", "8", "1", "/nonexistent/trn-ttyS-test");
  EXPECT_EQ("", trn::service_read_back().not_applied);
  trn::PortError error;
  std::string why;
  EXPECT_EQ(-1, trn::open_port(board.slave_path().c_str(), &error, &why));
  EXPECT_EQ(trn::PortError::NotApplied, error);
  EXPECT_EQ("settings not applied by the driver: " + finding, why);
}

}  // namespace
