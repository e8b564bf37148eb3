// The settings table and the reply-waiting exchange, against the simulated
// board on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../serial/hang_guard.h"
#include "VXTRN.h"
#include "board.h"
#include "link.h"
#include "serial.h"
#include "settings.h"
#include "support.h"

namespace {

std::string hex7(const unsigned char *f) { return trnsim::hex(trnsim::Frame(f, f + 7)); }

// Each read is the frame the panel's read-back puts on the wire, and each
// write the frame its control sends for the same value; the table's order
// is the order `get` reads in.  The simulated board (not started) answers
// the writes.
TEST(Settings, RequestFrames) {
  trnsim::Board board;
  struct Row {
    const char *name, *read_frame, *value, *write_frame;
  } rows[] = {
      {"volume", "1b 42 06 00 00 63 0d", "12", "1b 42 06 01 0c 70 0d"},
      {"brightness", "1b 42 07 00 00 64 0d", "0", "1b 42 07 01 00 65 0d"},
      {"volume-output", "1b 42 08 00 00 65 0d", "handset", "1b 42 08 03 00 68 0d"},
      {"ring", "1b 42 03 02 00 62 0d", "on", "1b 42 03 01 00 61 0d"},
      {"ring-volume", "1b 42 03 03 02 65 0d", "high", "1b 42 03 03 01 64 0d"},
      {"ring-freq", "1b 42 03 04 00 64 0d", "6", "1b 42 03 04 06 6a 0d"},
      {"ring-led", "1b 42 04 02 00 63 0d", "on", "1b 42 04 01 00 62 0d"},
      {"membrane", "1b 42 09 04 00 6a 0d", "orange", "1b 42 09 02 00 68 0d"},
      {"gpio", "1b 42 0a 00 00 67 0d", "0,2", "1b 42 0a 80 05 ec 0d"},
      {"audio", "1b 42 0a 01 00 68 0d", "jack-line-out,int-line-out,handset-line-out",
       "1b 42 0a 81 8a 72 0d"},
      {"nurse-led", "1b 42 0b 02 00 6a 0d", "on", "1b 42 0b 01 00 69 0d"},
      {"pass-through", "1b 42 0c 02 00 6b 0d", "on", "1b 42 0c 01 00 6a 0d"},
      {"pass-delay", "1b 42 0d 00 00 6a 0d", "10", "1b 42 0d 01 0a 75 0d"},
  };
  ASSERT_EQ(std::size(rows), trn::settings().size());
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    SCOPED_TRACE(row.name);
    const trn::Setting *s = trn::find_setting(row.name);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(s, &trn::settings()[i]) << "table order";
    unsigned char frame[7];
    trn::read_request(*s, frame);
    EXPECT_EQ(row.read_frame, hex7(frame));
    uint8_t value;
    std::string why;
    ASSERT_TRUE(trn::parse_value(*s, row.value, &value, &why)) << why;
    trn::write_request(*s, value, frame);
    EXPECT_EQ(row.write_frame, hex7(frame));
    // The write's reply answers the read only if both have the same byte 3.
    unsigned char read[7];
    trn::read_request(*s, read);
    EXPECT_EQ(read[3] == frame[3] ? trn::Verdict::Accept : trn::Verdict::Skip,
              trn::judge_reply(read, board.respond({frame, frame + 7}).data()));
  }
}

TEST(Settings, ValuesOutsideTheVocabulary) {
  static const std::string long_number(10000, '1');
  struct Refused {
    const char *name, *text;
  } refused[] = {{"volume", "16"}, {"volume", "-1"}, {"volume", "0x5"}, {"volume", ""},
                 {"gpio", "3"},    {"audio", "jack"}, {"gpio", "0,"},    {"ring", "ON"},
                 {"pass-delay", "0"}, {"volume", long_number.c_str()}};
  for (const Refused &r : refused) {
    SCOPED_TRACE(std::string(r.name) + "=" + std::string(r.text).substr(0, 20));
    uint8_t v;
    std::string why;
    EXPECT_FALSE(trn::parse_value(*trn::find_setting(r.name), r.text, &v, &why));
    EXPECT_EQ(trn::valid_values(*trn::find_setting(r.name)), why);
  }
  // A byte the vocabulary has no word for is shown as its number.
  struct Shown {
    const char *name;
    uint8_t byte;
    const char *text;
  } shown[] = {{"membrane", 4, "4"},  {"ring", 2, "2"},  {"gpio", 0x05, "0,2"},
               {"gpio", 0x08, "8"},   {"gpio", 0, "none"},
               {"audio", 0x8a, "int-line-out,jack-line-out,handset-line-out"},
               {"volume", 0x10, "16"}, {"volume-output", 0, "0"}};
  for (const Shown &s : shown) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.text, trn::format_value(*trn::find_setting(s.name), s.byte));
  }
}

// The reply-waiting exchange against a board that answers through the test.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board.start());
    trn::PortError error;
    std::string why;
    port = trn::open_port(board.slave_path().c_str(), &error, &why);
    ASSERT_GE(port, 0) << why;
    line.attach(port);
  }
  void TearDown() override {
    board.set_logger(nullptr);
    trn::close_port(port);
    board.stop();
  }
  // Answers every command with these runs of bytes, then the genuine reply.
  void answer_after(std::vector<trnsim::Frame> before) {
    board.set_fault(trnsim::Fault::Silent);
    board.set_logger([this, before](const trnsim::LogEntry &e) {
      if (!e.received) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (const auto &run : before) board.send_raw(run);
      board.send_raw(board.respond(e.bytes));
    });
  }
  trn::Outcome read_volume(int *tries) {
    unsigned char cmd[7], reply[7] = {};
    trn::read_request(*trn::find_setting("volume"), cmd);
    trn::ExchangeOptions o;
    o.met = [this](const unsigned char *f) { met.push_back(hex7(f)); };
    HangGuard guard("exchange", 10);
    trn::Outcome r = trn::exchange(line, cmd, reply, o, tries);
    if (r == trn::Outcome::Ok) volume = reply[4];
    return r;
  }
  trnsim::Board board;
  int port = -1;
  trn::Line line;
  int volume = -1;
  std::vector<std::string> met;  // frames the exchange met besides its reply
};

// Noise, a status frame and a cut-off piece that runs straight into the
// reply come before it: the reply is still found, on the first try, and the
// status frame is handed on rather than lost.
TEST_F(LinkTest, ReplyFoundBehindNoisePiecesAndStatusFrames) {
  answer_after({{0x00, 0x11}, trnsim::make_frame(0x02, 0x49, 0x03), {0x1B, 0x42, 0x06}});
  int tries = 0;
  EXPECT_EQ(trn::Outcome::Ok, read_volume(&tries));
  EXPECT_EQ(1, tries);
  EXPECT_EQ(board.settings().volume, volume);
  EXPECT_EQ(std::vector<std::string>{"1b 42 02 49 03 ab 0d"}, met);
}

TEST_F(LinkTest, FaultsGiveTheRetriesThenTheirOutcome) {
  struct Row {
    trnsim::Fault fault;
    trn::Outcome outcome;
  } rows[] = {{trnsim::Fault::Silent, trn::Outcome::NoReply},
              {trnsim::Fault::BadChecksum, trn::Outcome::BadReply},
              {trnsim::Fault::Short, trn::Outcome::ShortReply}};
  for (const Row &row : rows) {
    SCOPED_TRACE(trn::outcome_text(row.outcome));
    board.set_fault(row.fault);
    board.clear_received();
    int tries = 0;
    EXPECT_EQ(row.outcome, read_volume(&tries));
    EXPECT_EQ(3, tries);
    EXPECT_EQ(3u, board.received_count());
  }
  board.set_fault(trnsim::Fault::HangUp);
  int tries = 0;
  EXPECT_EQ(trn::Outcome::Closed, read_volume(&tries));
  EXPECT_EQ(1, tries);
}

}  // namespace
