// The trace hook: every line the serial layer traces reaches the hook in the
// order it was made, marked for standard output or standard error; without a
// hook nothing is printed at all; and the port opener for other programs
// tells its set-up failure in its result, not through the hook.
#include <string>
#include <utility>
#include <vector>

#include "hang_guard.h"
#include "serial.h"
#include "support.h"

namespace {

std::vector<std::pair<trn::TraceTo, std::string>> seen;

void record(trn::TraceTo to, const char *text) { seen.emplace_back(to, text); }

class TraceHookTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    board.set_fault(trnsim::Fault::Silent);  // no reply: the exchange stays short
    seen.clear();
    saved_parity_ = port_parity;
  }
  void TearDown() override {
    port_parity = saved_parity_;
    trn::set_trace_hook(trn::stdio_trace);  // as every test binary runs
    BoardTest::TearDown();
  }
  // What the serial layer traces: one exchange that meets a status frame,
  // a parity it does not know, and, once the service is closed, a device
  // that cannot be opened.
  void trace_some() {
    {
      // A status frame is never the reply, which the silent board never
      // gives.
      trn::ExchangeLock exchange(
          [](const unsigned char *, const unsigned char *f) { return f[2] != 0x02; });
      const unsigned char command[7] = {0x1B, 0x42, 0x06, 0x00, 0x00, 0x63, 0x0D};
      board.send_status(0x49, 0x03);
      writeport(fd, command);
      readport(fd, reply_);
    }
    set_Parity(fd, 8, 1, 'x');
    CloseTRNService();
    OpenTRNService("/dev/nonexistent-trn", port_speed, port_parity, port_databits, port_stopbits);
  }
  unsigned char reply_[7] = {};
  const char *saved_parity_ = nullptr;
};

TEST_F(TraceHookTest, EveryLineReachesTheHookInOrder) {
  trn::set_trace_hook(record);
  {
    StdoutCapture out;
    StderrCapture err;
    trace_some();
    EXPECT_EQ("", out.text());
    EXPECT_EQ("", err.text());
  }
  using T = trn::TraceTo;
  const std::vector<std::pair<trn::TraceTo, std::string>> expected = {
      {T::Out, "len=0, 1b\n"},
      {T::Out, "len=1, 42\n"},
      {T::Out, "len=2, 6\n"},
      {T::Out, "len=3, 0\n"},
      {T::Out, "len=4, 0\n"},
      {T::Out, "len=5, 63\n"},
      {T::Out, "Get Result = 0 0 0 0 0 0 0\n"},
      {T::Out, "key ---> 1b 42 2 49 3 ab d 0 \n"},
      {T::Err, "Unsupported parity "},
      {T::Out, "Open : Unable to Open /dev/nonexistent-trn\n"},
  };
  EXPECT_EQ(expected, seen);
}

TEST_F(TraceHookTest, WithoutAHookNothingIsPrinted) {
  trn::set_trace_hook(nullptr);
  StdoutCapture out;
  StderrCapture err;
  trace_some();
  EXPECT_EQ("", out.text());
  EXPECT_EQ("", err.text());
}

// trn::open_port reports what failed in its result; the hook hears nothing.
TEST_F(TraceHookTest, PortOpenerReportsInItsResult) {
  trn::set_trace_hook(record);
  port_parity = "x";
  trn::PortError error = trn::PortError::None;
  std::string why;
  board.stop();
  ASSERT_TRUE(board.start());
  EXPECT_EQ(-1, trn::open_port(board.slave_path().c_str(), &error, &why));
  EXPECT_EQ(trn::PortError::Configure, error);
  EXPECT_EQ("Unsupported parity ", why);
  EXPECT_TRUE(seen.empty());
}

}  // namespace
