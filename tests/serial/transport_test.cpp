// Frame transport: writeport's trace and the bytes on the wire, readport on
// complete, short, missing and failed replies, what else an exchange reads
// (traced after its reply, never taken for it), and the exchange flag and
// lock that keep the button status monitor off the port.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hang_guard.h"
#include "serial.h"
#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVolumeUp = {0x1B, 0x42, 0x06, 0x03, 0x00, 0x66, 0x0D};

bool wait_input(int f, int n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int ready = 0;
  while (ioctl(f, FIONREAD, &ready) == 0 && ready < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ready >= n;
}

std::string result_line(const unsigned char *b) {
  char line[96];
  snprintf(line, sizeof line, "Get Result = %x %x %x %x %x %x %x", b[0], b[1], b[2], b[3], b[4],
           b[5], b[6]);
  return line;
}

// Whether another thread (as the monitor would) can take the exchange lock now.
bool lock_free_for_others() {
  bool got = false;
  std::thread other([&] {
    got = trn::exchange_mutex.try_lock();
    if (got) trn::exchange_mutex.unlock();
  });
  other.join();
  return got;
}

class TransportTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    // The tests below play the board's part in the reply by hand.
    board.set_fault(trnsim::Fault::Silent);
    isLOCK = 0;
  }
  void TearDown() override {
    isLOCK = 0;
    BoardTest::TearDown();
  }
  // writeport with its trace kept out of the test output.
  int quiet_write(const Bytes &frame = kVolumeUp) {
    StdoutCapture quiet;
    return writeport(fd, frame.data());
  }
};

TEST_F(TransportTest, WriteportTracesSixBytesAndSendsSeven) {
  trn::ExchangeLock exchange;
  StdoutCapture out;
  int n = writeport(fd, kVolumeUp.data());
  std::string trace = out.text();
  EXPECT_EQ(6, n);
  EXPECT_EQ(
      "len=0, 1b\nlen=1, 42\nlen=2, 6\nlen=3, 3\nlen=4, 0\nlen=5, 66\n",
      trace);
  EXPECT_EQ(1, isLOCK.load());
  ASSERT_TRUE(board.wait_received(1, std::chrono::seconds(5)));
  EXPECT_EQ(kVolumeUp, board.received().front());

  unsigned char reply[7] = {};
  StdoutCapture quiet;
  EXPECT_EQ(1, readport(fd, reply));
  EXPECT_EQ(0, isLOCK.load());
}

// What readport hands back: the last byte received becomes CR, positions not
// reached keep the caller's content, and a read with nothing is no failure.
// A piece of a reply stays in the line; once the line has been quiet, the
// next exchange drops it and traces it after its own result.
TEST_F(TransportTest, ReadportRepliesCompleteShortAndMissing) {
  struct Row {
    const char *name;
    Bytes reply;   // what the board sends after the command
    Bytes before;  // the caller's buffer
    Bytes after;
    const char *dropped;  // traced after the result: the row before's piece
  } rows[] = {
      {"complete reply, seventh byte not CR", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x00},
       {0, 0, 0, 0, 0, 0, 0}, {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D}, ""},
      {"complete reply", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D},
       {9, 9, 9, 9, 9, 9, 9}, {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D}, ""},
      {"four bytes", {0x1B, 0x42, 0x06, 0x00},
       {0, 0, 0, 0, 0xA4, 0xA5, 0xA6}, {0x1B, 0x42, 0x06, 0x0D, 0xA4, 0xA5, 0xA6}, ""},
      {"one byte", {0x1B}, {0, 0, 0, 0, 0, 0, 0}, {0x0D, 0, 0, 0, 0, 0, 0},
       "key ---> 1b 42 6 0 0 0 0 0 \n"},
      {"no reply", {}, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
       {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, "key ---> 1b 0 0 0 0 0 0 0 \n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    unsigned char buf[7];
    memcpy(buf, row.before.data(), 7);
    int r;
    std::string trace;
    {
      trn::ExchangeLock exchange;
      ASSERT_EQ(6, quiet_write());
      if (!row.reply.empty()) {
        board.send_raw(row.reply);
        ASSERT_TRUE(wait_input(fd, static_cast<int>(row.reply.size())));
      }
      HangGuard guard("readport", 10);
      StdoutCapture out;
      r = readport(fd, buf);
      trace = out.text();
    }
    EXPECT_EQ(1, r);
    EXPECT_EQ(row.after, Bytes(buf, buf + 7));
    EXPECT_EQ(result_line(buf) + "\n" + row.dropped, trace);
    EXPECT_EQ(0, isLOCK.load());
    EXPECT_TRUE(lock_free_for_others());
  }
}

// Bytes waiting before the command (a status frame, noise) are never taken
// for its reply, and nothing that arrives is thrown away: what is not the
// reply is traced after it, in the order it arrived, and nothing is left
// unread.
TEST_F(TransportTest, StrayInputIsTracedAfterTheReplyNeverTakenForIt) {
  const Bytes stray = {0x1B, 0x42, 0x02, 0x01, 0x00, 0x60, 0x0D, 0x55};
  const Bytes reply = {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D};
  board.send_raw(stray);
  ASSERT_TRUE(wait_input(fd, static_cast<int>(stray.size())));
  unsigned char buf[7] = {};
  std::string trace;
  {
    trn::ExchangeLock exchange;
    ASSERT_EQ(6, quiet_write());
    Bytes reply_and_more = reply;
    reply_and_more.insert(reply_and_more.end(), stray.begin(), stray.end());
    board.send_raw(reply_and_more);
    ASSERT_TRUE(wait_input(fd, static_cast<int>(reply_and_more.size())));
    HangGuard guard("readport", 10);
    StdoutCapture out;
    EXPECT_EQ(1, readport(fd, buf));
    trace = out.text();
  }
  EXPECT_EQ(reply, Bytes(buf, buf + 7));
  const std::string status = "key ---> 1b 42 2 1 0 60 d 0 \n", noise = "key ---> 55 0 0 0 0 0 0 0 \n";
  EXPECT_EQ(result_line(buf) + "\n" + status + noise + status + noise, trace);
  int left = -1;
  ASSERT_EQ(0, ioctl(fd, FIONREAD, &left));
  EXPECT_EQ(0, left);
}

// A read that fails prints its cause, returns 0, lowers the flag and lets
// the port go, so the monitor can read again.
TEST_F(TransportTest, ReadportFailures) {
  struct Row {
    const char *name;
    int port;
    std::string message;
  } rows[] = {
      {"descriptor not open", -1,
       "SERIAL read error " + std::to_string(EBADF) + " " + strerror(EBADF) + "\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    unsigned char buf[7] = {1, 2, 3, 4, 5, 6, 7};
    int r;
    std::string trace;
    {
      trn::ExchangeLock exchange;
      ASSERT_EQ(6, quiet_write());
      StdoutCapture out;
      r = readport(row.port, buf);
      trace = out.text();
    }
    EXPECT_EQ(0, r);
    EXPECT_EQ(row.message, trace);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7}), Bytes(buf, buf + 7));
    EXPECT_EQ(0, isLOCK.load());
    EXPECT_TRUE(lock_free_for_others());
  }
}

// After the board hangs up, a pseudo-terminal reports end of file rather
// than an error; either way readport must return, lower the flag and trace
// what it did.
TEST_F(TransportTest, ReadportAfterHangUpReturns) {
  unsigned char buf[7] = {1, 2, 3, 4, 5, 6, 7};
  int r;
  std::string trace;
  {
    trn::ExchangeLock exchange;
    ASSERT_EQ(6, quiet_write());
    board.hang_up();
    HangGuard guard("readport after hang-up", 10);
    StdoutCapture out;
    r = readport(fd, buf);
    trace = out.text();
  }
  EXPECT_EQ(0, isLOCK.load());
  if (r == 0) {
    EXPECT_TRUE(contains(trace, "SERIAL read error ")) << trace;
  } else {
    EXPECT_EQ(1, r);
    EXPECT_EQ(result_line(buf) + "\n", trace);
  }
  EXPECT_TRUE(lock_free_for_others());
}

// The exchange holds the port for its whole span, from before writeport to
// after readport; one that gives up after the write lets the port go but
// leaves the flag raised.
TEST_F(TransportTest, ExchangeLockSpansTheWholeExchange) {
  ASSERT_TRUE(lock_free_for_others());
  {
    trn::ExchangeLock exchange;
    ASSERT_EQ(6, quiet_write());
    EXPECT_FALSE(lock_free_for_others()) << "the monitor could read during an exchange";
    unsigned char buf[7] = {};
    StdoutCapture quiet;
    readport(fd, buf);
  }
  EXPECT_TRUE(lock_free_for_others());

  {
    trn::ExchangeLock exchange;
    ASSERT_EQ(6, quiet_write());
  }
  EXPECT_EQ(1, isLOCK.load());
  EXPECT_TRUE(lock_free_for_others());
  // A new exchange can start after an abandoned one, on any thread.
  std::thread other([&] {
    HangGuard guard("exchange after an abandoned one", 10);
    trn::ExchangeLock exchange;
    StdoutCapture quiet;
    writeport(fd, kVolumeUp.data());
    unsigned char reply[7] = {};
    readport(fd, reply);
  });
  other.join();
  EXPECT_EQ(0, isLOCK.load());
}

}  // namespace
