// Command frames: checksum, reply validation, text-to-byte conversion, the
// exchange cycle's handling of real replies on the pty (valid, damaged,
// short, missing, foreign) and of a service that is not open.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../serial/hang_guard.h"
#include "VXTRN.h"
#include "reply_peer.h"
#include "serial.h"
#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Checksum, SumOfLeadInAndVariableBytesWraps) {
  struct Row {
    unsigned char type, rw, value, sum;
  } rows[] = {
      {0x00, 0x00, 0x00, 0x5D}, {0x0A, 0x80, 0x07, 0xEE}, {0xF1, 0x00, 0x00, 0x4E},
      {0x06, 0x00, 0x07, 0x6A}, {0xFF, 0xFF, 0xFF, 0x5A}, {0x02, 0x01, 0x35, 0x95},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << +r.type << " " << +r.rw << " " << +r.value);
    EXPECT_EQ(r.sum, getcksum(r.type, r.rw, r.value));
  }
}

TEST(ReplyCheck, ChecksumAndTerminatorAloneDecide) {
  struct Row {
    const char *name;
    Bytes frame;
    int ok;
  } rows[] = {
      {"valid volume reply", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D}, 1},
      {"checksum off by one", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6B, 0x0D}, 0},
      {"terminator not CR", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x00}, 0},
      {"terminator LF", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0A}, 0},
      {"lead-in not ESC 'B', checksum of bytes 2..4", {0x00, 0x00, 0x06, 0x00, 0x07, 0x6A, 0x0D},
       1},
      {"checksum over the actual lead-in", {0x00, 0x00, 0x06, 0x00, 0x07, 0x0D, 0x0D}, 0},
      {"status frame", {0x1B, 0x42, 0x02, 0x05, 0x09, 0x6D, 0x0D}, 1},
      {"checksum wraps", {0x1B, 0x42, 0xF1, 0x00, 0x00, 0x4E, 0x0D}, 1},
      {"all zero (nothing received)", {0, 0, 0, 0, 0, 0, 0}, 0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.ok, isOkCMD(r.frame.data()));
  }
}

// Which frame read after a command is its reply: never a status frame, but
// the interval command (itself of the status type) by its echo.
TEST(ReplyRule, StatusFramesAreNeverTheReplyButTheIntervalEcho) {
  const Bytes volume_read = {0x1B, 0x42, 0x06, 0x00, 0x00, 0x63, 0x0D};
  const Bytes interval = {0x1B, 0x42, 0x02, 0x01, 0x35, 0x95, 0x0D};
  struct Row {
    const char *name;
    const Bytes &command;
    Bytes frame;
    bool reply;
  } rows[] = {
      {"volume reply", volume_read, {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D}, true},
      {"reply of another type", volume_read, {0x1B, 0x42, 0x0D, 0x00, 0x03, 0x6D, 0x0D}, true},
      {"status frame", volume_read, {0x1B, 0x42, 0x02, 0x01, 0x35, 0x95, 0x0D}, false},
      {"interval echo", interval, {0x1B, 0x42, 0x02, 0x01, 0x35, 0x95, 0x0D}, true},
      {"interval echo, bad checksum", interval, {0x1B, 0x42, 0x02, 0x01, 0x35, 0x00, 0x0D}, true},
      {"status frame to the interval command", interval, {0x1B, 0x42, 0x02, 0x08, 0x00, 0x6D, 0x0D},
       false},
      {"status byte B differs", interval, {0x1B, 0x42, 0x02, 0x01, 0x36, 0x96, 0x0D}, false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.reply, trn::reply_for(r.command.data(), r.frame.data()));
  }
}

TEST(Str2Hex, ReadsHexadecimalKeepsLowByte) {
  const std::string forty_digits = "0123456789abcdef0123456789ABCDEF0123455c";
  struct Row {
    std::string text;
    unsigned char value;
  } rows[] = {
      {"0", 0x00},      {"7", 0x07},       {"a", 0x0A},     {"A", 0x0A},
      {"f", 0x0F},      {"10", 0x10},      {"ff", 0xFF},    {"FF", 0xFF},
      {"1ff", 0xFF},    {"123", 0x23},     {"0x1A", 0x1A},  {"0X1a", 0x1A},
      {" +f", 0x0F},    {"\t\n 7", 0x07},  {"-1", 0xFF},    {"-10", 0xF0},
      {"-0x2", 0xFE},   {"12zz", 0x12},    {"5 6", 0x05},   {"", 0x00},
      {"zz", 0x00},     {"   ", 0x00},     {"-", 0x00},     {"0x", 0x00},
      {"123456789abcdef", 0xEF},           {forty_digits, 0x5C},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE("\"" + r.text + "\"");
    EXPECT_EQ(r.value, str2hex(r.text.c_str()));
  }
}

// ---- The exchange against replies chosen by the test ---------------------------

class ExchangeTest : public ScriptedBoardTest {
 protected:
  // A 16-byte value buffer holding text, as the panel fills it.
  struct Buffer {
    unsigned char b[16] = {};
    explicit Buffer(const char *text) { snprintf(reinterpret_cast<char *>(b), sizeof b, "%s", text); }
    Bytes head(size_t n) const { return Bytes(b, b + n); }
  };
};

// A volume read ("ff") answered in many ways: what the command returns and
// what its buffer then holds.
TEST_F(ExchangeTest, VolumeReadAgainstEachKindOfReply) {
  const Bytes untouched = {'f', 'f', 0};
  struct Row {
    const char *name;
    Bytes reply;
    int result;
    Bytes buffer;  // first three bytes afterwards
  } rows[] = {
      {"valid", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D}, 1, {0x07, 'f', 0}},
      {"wrong checksum", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6B, 0x0D}, 0, untouched},
      // The transport puts CR at the last byte received, so a complete reply
      // passes on its checksum alone.
      {"seventh byte not CR", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x00}, 1, {0x07, 'f', 0}},
      {"six bytes", {0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A}, 0, untouched},
      {"four bytes", {0x1B, 0x42, 0x06, 0x00}, 0, untouched},
      {"no reply", {}, 0, untouched},
      // A status frame is never the reply, whatever its checksum.
      {"status frame in the reply position", {0x1B, 0x42, 0x02, 0x05, 0x09, 0x6D, 0x0D}, 0,
       untouched},
      // Bytes before an ESC 'B' lead-in are line noise, not a reply.
      {"lead-in not ESC 'B', good checksum", {0x00, 0x00, 0x06, 0x00, 0x07, 0x6A, 0x0D}, 0,
       untouched},
      {"reply to another command", {0x1B, 0x42, 0x0D, 0x00, 0x03, 0x6D, 0x0D}, 1,
       {0x03, 'f', 0}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    reply_with(r.reply);
    Buffer buf("ff");
    int result;
    {
      HangGuard guard("VolumeValue", 10);
      StdoutCapture quiet;
      result = VolumeValue(buf.b);
    }
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.buffer, buf.head(3));
    EXPECT_EQ(0, isLOCK.load());
  }
  EXPECT_EQ(std::size(rows), board.received_count());
}

TEST_F(ExchangeTest, IdentificationStoresItsBytesOnlyOnAValidReply) {
  unsigned char major = 0xEE, minor = 0xEE, fw = 0xEE;
  StdoutCapture quiet;

  reply_with({0x1B, 0x42, 0x00, 0x07, 0x42, 0xA6, 0x0D});
  EXPECT_EQ(1, VXTRNDeviceIdentifier(&major, &minor));
  EXPECT_EQ(0x07, major);
  EXPECT_EQ(0x42, minor);

  reply_with({0x1B, 0x42, 0x01, 0x00, 0x11, 0x6F, 0x0D});
  EXPECT_EQ(1, VXTRNVer(&fw));
  EXPECT_EQ(0x11, fw);

  major = minor = fw = 0xEE;
  reply_with({0x1B, 0x42, 0x00, 0x07, 0x43, 0xA6, 0x0D});  // checksum of 07/42
  EXPECT_EQ(0, VXTRNDeviceIdentifier(&major, &minor));
  reply_with({});
  EXPECT_EQ(0, VXTRNVer(&fw));
  EXPECT_EQ(0xEE, major);
  EXPECT_EQ(0xEE, minor);
  EXPECT_EQ(0xEE, fw);
  quiet.text();

  std::vector<std::string> sent = wire();
  ASSERT_EQ(4u, sent.size());
  EXPECT_EQ("1b 42 00 00 00 5d 0d", sent[0]);
  EXPECT_EQ("1b 42 01 00 00 5e 0d", sent[1]);
}

// With the service not open the frame is still handed to the transport (and
// traced) but nothing is read, and the next exchange can start, also from
// another thread.
TEST_F(ExchangeTest, ServiceNotOpenWritesThenGivesUp) {
  reply_with({0x1B, 0x42, 0x06, 0x00, 0x07, 0x6A, 0x0D});
  ServiceState = false;
  Buffer buf("ff");
  StdoutCapture out;
  int result;
  {
    HangGuard guard("VolumeValue with the service not open", 10);
    result = VolumeValue(buf.b);
  }
  std::string trace = out.text();
  ServiceState = true;
  EXPECT_EQ(0, result);
  EXPECT_EQ(Bytes({'f', 'f', 0}), buf.head(3));
  EXPECT_EQ("len=0, 1b\nlen=1, 42\nlen=2, 6\nlen=3, 0\nlen=4, 0\nlen=5, 63\n", trace);
  EXPECT_FALSE(contains(trace, "Get Result"));
  EXPECT_EQ(1, isLOCK.load()) << "the flag keeps its raised value when the exchange gives up";
  ASSERT_TRUE(board.wait_received(1, std::chrono::seconds(5)));
  EXPECT_EQ("1b 42 06 00 00 63 0d", wire().front());

  int next = -1;
  Buffer again("ff");
  std::thread other([&] {
    HangGuard guard("exchange after one with the service not open", 10);
    StdoutCapture quiet;
    next = VolumeValue(again.b);
  });
  other.join();
  EXPECT_EQ(1, next);
  EXPECT_EQ(0x07, again.b[0]);
  EXPECT_EQ(0, isLOCK.load());
}

}  // namespace

// The fast exchange only stops waiting sooner: for the same board the trace,
// the frames on the wire and the results are exactly those of the fixed
// 100 ms pause, with good, missing, short and damaged replies alike.
TEST_F(BoardTest, FastExchangeTracesWhatTheFixedOneTraces) {
  struct Run {
    std::string trace;
    std::vector<std::string> wire;
    std::vector<int> results;
  };
  auto run = [&](bool fast, trnsim::Fault fault, int param) {
    trn::set_fast_exchange(fast);
    {
      // From a quiet line: an exchange with a good reply takes any piece of a
      // short reply that the run before left.
      board.set_fault(trnsim::Fault::None);
      StdoutCapture quiet;
      unsigned char text[16] = "ff";
      VolumeValue(text);
    }
    board.set_fault(fault, param);
    board.clear_received();
    Run r;
    StdoutCapture out;
    unsigned char major = 0, minor = 0;
    r.results.push_back(VXTRNDeviceIdentifier(&major, &minor));
    r.results.push_back(major << 8 | minor);
    for (auto *read : {VolumeValue, BrightnessValue}) {
      unsigned char text[16] = "ff";
      r.results.push_back(read(text));
      r.results.push_back(text[0]);
    }
    unsigned char gpio[16] = "ff";
    r.results.push_back(Switch1Status(gpio, 1));
    r.results.push_back(gpio[0]);
    r.trace = out.text();
    r.wire = wire();
    trn::set_fast_exchange(false);
    return r;
  };
  struct Row {
    const char *name;
    trnsim::Fault fault;
    int param;
  } rows[] = {{"good replies", trnsim::Fault::None, 0},
              {"no reply", trnsim::Fault::Silent, 0},
              {"short reply", trnsim::Fault::Short, 4},
              {"bad checksum", trnsim::Fault::BadChecksum, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Run fixed = run(false, row.fault, row.param);
    Run fast = run(true, row.fault, row.param);
    EXPECT_EQ(fixed.trace, fast.trace);
    EXPECT_EQ(fixed.wire, fast.wire);
    EXPECT_EQ(fixed.results, fast.results);
    EXPECT_EQ(4, count_lines(fast.trace, "len=0, 1b"));
  }
}
