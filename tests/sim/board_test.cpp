// The simulated board, driven through its pty as the panel drives it: open
// the slave raw, write command frames, read what comes back.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "board.h"
#include "sim_client.h"

using namespace std::chrono_literals;
using trnsim::Board;
using trnsim::Fault;
using trnsim::Frame;
using trnsim::Input;
using trnsim::make_frame;

namespace {

// Bounds on waits, generous for a loaded machine: a reply that should come
// gets seconds; one that should not is given a short while to show up.
constexpr auto kReplyWait = 3000ms;
constexpr auto kQuietWait = 300ms;

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(board.start());
    port = std::make_unique<simclient::Port>(board.slave_path());
    ASSERT_TRUE(port->ok());
  }

  // Sends one command and reads a whole reply frame.
  Frame exchange(const Frame &command) {
    EXPECT_TRUE(port->write(command));
    return port->read(7, kReplyWait);
  }
  // Whatever arrives within the quiet wait (expected: nothing).
  Frame stray() { return port->read(64, kQuietWait); }

  Board board;
  std::unique_ptr<simclient::Port> port;
};

// ---- Command catalogue ----------------------------------------------------

struct Row {
  Frame command;
  Frame reply;
  uint8_t trnsim::Settings::*field;  // setting that must hold `expect` after
  uint8_t expect;
};

// Run in order on one board from power-on settings: writes are followed by
// reads that must see them.
TEST_F(BoardTest, AnswersEachCommandAndKeepsItsSetting) {
  using S = trnsim::Settings;
  const Row rows[] = {
      {make_frame(0x00, 0, 0), make_frame(0x00, 0x07, 0x42), &S::major, 0x07},
      {make_frame(0x01, 0, 0), make_frame(0x01, 0x00, 0x11), &S::firmware, 0x11},
      // Interval: value is the character code the panel sends ("5").
      {make_frame(0x02, 0x01, 0x35), make_frame(0x02, 0x01, 0x35), &S::interval, 0x35},
      // Ring tone on/off in rw; 2 reads.
      {make_frame(0x03, 0x02, 0), make_frame(0x03, 0x02, 0x01), &S::ring_on, 1},
      {make_frame(0x03, 0x00, 0), make_frame(0x03, 0x00, 0x00), &S::ring_on, 0},
      {make_frame(0x03, 0x02, 0), make_frame(0x03, 0x02, 0x00), &S::ring_on, 0},
      // Ring loudness: rw 3, value 2 reads.
      {make_frame(0x03, 0x03, 0x01), make_frame(0x03, 0x03, 0x01), &S::ring_volume, 1},
      {make_frame(0x03, 0x03, 0x02), make_frame(0x03, 0x03, 0x01), &S::ring_volume, 1},
      {make_frame(0x03, 0x03, 0x00), make_frame(0x03, 0x03, 0x00), &S::ring_volume, 0},
      // Ring frequency: rw 4, value 0 reads; kept within 1..6.
      {make_frame(0x03, 0x04, 0x06), make_frame(0x03, 0x04, 0x06), &S::ring_freq, 6},
      {make_frame(0x03, 0x04, 0x00), make_frame(0x03, 0x04, 0x06), &S::ring_freq, 6},
      {make_frame(0x03, 0x04, 0x03), make_frame(0x03, 0x04, 0x03), &S::ring_freq, 3},
      {make_frame(0x03, 0x04, 0x09), make_frame(0x03, 0x04, 0x06), &S::ring_freq, 6},
      // Ring LED.
      {make_frame(0x04, 0x01, 0), make_frame(0x04, 0x01, 0x01), &S::ring_led, 1},
      {make_frame(0x04, 0x02, 0), make_frame(0x04, 0x02, 0x01), &S::ring_led, 1},
      {make_frame(0x04, 0x00, 0), make_frame(0x04, 0x00, 0x00), &S::ring_led, 0},
      // Backlight: the state is rw.
      {make_frame(0x05, 0x00, 0), make_frame(0x05, 0x00, 0x00), &S::backlight, 0},
      {make_frame(0x05, 0x01, 0), make_frame(0x05, 0x01, 0x01), &S::backlight, 1},
      // Volume: read, set (clamped to 15), down, up.
      {make_frame(0x06, 0x00, 0), make_frame(0x06, 0x00, 0x08), &S::volume, 8},
      {make_frame(0x06, 0x01, 0x0C), make_frame(0x06, 0x01, 0x0C), &S::volume, 12},
      {make_frame(0x06, 0x01, 0x10), make_frame(0x06, 0x01, 0x0F), &S::volume, 15},
      {make_frame(0x06, 0x02, 0), make_frame(0x06, 0x02, 0x0E), &S::volume, 14},
      {make_frame(0x06, 0x03, 0), make_frame(0x06, 0x03, 0x0F), &S::volume, 15},
      {make_frame(0x06, 0x00, 0), make_frame(0x06, 0x00, 0x0F), &S::volume, 15},
      // Brightness is separate from volume.
      {make_frame(0x07, 0x01, 0x03), make_frame(0x07, 0x01, 0x03), &S::brightness, 3},
      {make_frame(0x07, 0x03, 0), make_frame(0x07, 0x03, 0x04), &S::brightness, 4},
      {make_frame(0x07, 0x00, 0), make_frame(0x07, 0x00, 0x04), &S::brightness, 4},
      {make_frame(0x06, 0x00, 0), make_frame(0x06, 0x00, 0x0F), &S::volume, 15},
      // Audio option in rw, 0 reads.
      {make_frame(0x08, 0x03, 0), make_frame(0x08, 0x03, 0x03), &S::audio_option, 3},
      {make_frame(0x08, 0x00, 0), make_frame(0x08, 0x00, 0x03), &S::audio_option, 3},
      // Membrane in rw, 4 reads.
      {make_frame(0x09, 0x00, 0), make_frame(0x09, 0x00, 0x00), &S::membrane, 0},
      {make_frame(0x09, 0x02, 0), make_frame(0x09, 0x02, 0x02), &S::membrane, 2},
      {make_frame(0x09, 0x04, 0), make_frame(0x09, 0x04, 0x02), &S::membrane, 2},
      // Switch banks: high bit writes.
      {make_frame(0x0A, 0x80, 0x07), make_frame(0x0A, 0x80, 0x07), &S::switch1, 0x07},
      {make_frame(0x0A, 0x81, 0xA5), make_frame(0x0A, 0x81, 0xA5), &S::switch2, 0xA5},
      {make_frame(0x0A, 0x00, 0), make_frame(0x0A, 0x00, 0x07), &S::switch1, 0x07},
      {make_frame(0x0A, 0x01, 0), make_frame(0x0A, 0x01, 0xA5), &S::switch2, 0xA5},
      // Nurse-call LED and pass-through: a write answers in byte 3.
      {make_frame(0x0B, 0x01, 0), make_frame(0x0B, 0x01, 0x00), &S::nurse_led, 1},
      {make_frame(0x0B, 0x02, 0), make_frame(0x0B, 0x02, 0x01), &S::nurse_led, 1},
      {make_frame(0x0B, 0x00, 0), make_frame(0x0B, 0x00, 0x00), &S::nurse_led, 0},
      {make_frame(0x0B, 0x02, 0), make_frame(0x0B, 0x02, 0x00), &S::nurse_led, 0},
      {make_frame(0x0C, 0x01, 0), make_frame(0x0C, 0x01, 0x00), &S::pass_through, 1},
      {make_frame(0x0C, 0x02, 0), make_frame(0x0C, 0x02, 0x01), &S::pass_through, 1},
      // Pass-through delay, kept within 1..10.
      {make_frame(0x0D, 0x00, 0), make_frame(0x0D, 0x00, 0x03), &S::pass_delay, 3},
      {make_frame(0x0D, 0x01, 0x0A), make_frame(0x0D, 0x01, 0x0A), &S::pass_delay, 10},
      {make_frame(0x0D, 0x00, 0), make_frame(0x0D, 0x00, 0x0A), &S::pass_delay, 10},
      {make_frame(0x0D, 0x01, 0x00), make_frame(0x0D, 0x01, 0x01), &S::pass_delay, 1},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(trnsim::hex(r.command));
    EXPECT_EQ(trnsim::hex(exchange(r.command)), trnsim::hex(r.reply));
    EXPECT_EQ(board.settings().*r.field, r.expect);
  }
  // Settings not touched by the table keep their power-on values.
  EXPECT_EQ(board.settings().minor, 0x42);
  EXPECT_EQ(board.received_count(), std::size(rows));
}

TEST_F(BoardTest, EepromStoresPerTypeAndAnswersTheStoredByte) {
  EXPECT_EQ(exchange(make_frame(0xF0, 0x10, 0x55)), make_frame(0xF0, 0x10, 0x55));
  EXPECT_EQ(exchange(make_frame(0xF1, 0x10, 0x66)), make_frame(0xF1, 0x10, 0x66));
  EXPECT_EQ(exchange(make_frame(0xF1, 0xFF, 0x01)), make_frame(0xF1, 0xFF, 0x01));
  trnsim::Settings s = board.settings();
  EXPECT_EQ(s.eeprom[0][0x10], 0x55);
  EXPECT_EQ(s.eeprom[1][0x10], 0x66);
  EXPECT_EQ(s.eeprom[1][0xFF], 0x01);
  EXPECT_EQ(s.eeprom[0][0xFF], 0x00);
}

TEST_F(BoardTest, IdentityComesFromSettings) {
  trnsim::Settings s;
  s.major = 0x12;
  s.minor = 0x34;
  s.firmware = 0x56;
  board.set_settings(s);
  EXPECT_EQ(exchange(make_frame(0x00, 0, 0)), make_frame(0x00, 0x12, 0x34));
  EXPECT_EQ(exchange(make_frame(0x01, 0, 0)), make_frame(0x01, 0x00, 0x56));
}

// Frames the board does not understand are recorded but not answered, and
// do not change any setting; the board answers the next good frame.
TEST_F(BoardTest, IgnoresFramesItDoesNotUnderstand) {
  Frame bad_sum = make_frame(0x06, 0x01, 0x02);
  bad_sum[5] ^= 0x01;
  Frame bad_end = make_frame(0x06, 0x01, 0x02);
  bad_end[6] = 0x0A;
  const Frame ignored[] = {
      bad_sum,
      bad_end,
      make_frame(0x0E, 0x00, 0x00),  // unknown type
      make_frame(0x06, 0x04, 0x02),  // unknown volume operation
      make_frame(0x0A, 0x02, 0x00),  // unknown switch selector
      make_frame(0x0B, 0x03, 0x00),  // unknown nurse-call operation
      make_frame(0x02, 0x00, 0x35),  // interval without rw 01
      make_frame(0x08, 0x06, 0x00),  // audio option out of range
  };
  const trnsim::Settings before = board.settings();
  for (const Frame &f : ignored) {
    SCOPED_TRACE(trnsim::hex(f));
    board.clear_received();
    ASSERT_TRUE(port->write(f));
    ASSERT_TRUE(board.wait_received(1, kReplyWait));
    EXPECT_EQ(board.received().front(), f);
    EXPECT_TRUE(stray().empty());
  }
  EXPECT_EQ(board.settings().volume, before.volume);
  EXPECT_EQ(board.settings().switch1, before.switch1);
  EXPECT_EQ(board.settings().interval, before.interval);
  EXPECT_EQ(exchange(make_frame(0x06, 0, 0)), make_frame(0x06, 0x00, before.volume));
}

// Both ends of the 0..15 range, for volume and brightness alike.
TEST_F(BoardTest, StepsStayWithinZeroToFifteen) {
  for (uint8_t type : {uint8_t{0x06}, uint8_t{0x07}}) {
    SCOPED_TRACE(static_cast<int>(type));
    EXPECT_EQ(exchange(make_frame(type, 0x01, 0x01)), make_frame(type, 0x01, 0x01));
    EXPECT_EQ(exchange(make_frame(type, 0x02, 0)), make_frame(type, 0x02, 0x00));
    EXPECT_EQ(exchange(make_frame(type, 0x02, 0)), make_frame(type, 0x02, 0x00));
    EXPECT_EQ(exchange(make_frame(type, 0x03, 0)), make_frame(type, 0x03, 0x01));
    EXPECT_EQ(exchange(make_frame(type, 0x01, 0x0E)), make_frame(type, 0x01, 0x0E));
    EXPECT_EQ(exchange(make_frame(type, 0x03, 0)), make_frame(type, 0x03, 0x0F));
    EXPECT_EQ(exchange(make_frame(type, 0x03, 0)), make_frame(type, 0x03, 0x0F));
    EXPECT_EQ(exchange(make_frame(type, 0x02, 0)), make_frame(type, 0x02, 0x0E));
    EXPECT_EQ(exchange(make_frame(type, 0x01, 0xFF)), make_frame(type, 0x01, 0x0F));
  }
}

// ---- Byte stream: pieces, noise, resynchronisation -------------------------

TEST_F(BoardTest, ReassemblesAFrameWrittenInPieces) {
  const Frame cmd = make_frame(0x06, 0x01, 0x05);
  const std::vector<std::vector<Frame>> splits = {
      {Frame(cmd.begin(), cmd.begin() + 3), Frame(cmd.begin() + 3, cmd.end())},
      {Frame(cmd.begin(), cmd.begin() + 1), Frame(cmd.begin() + 1, cmd.begin() + 5),
       Frame(cmd.begin() + 5, cmd.end())},
      {Frame(cmd.begin(), cmd.begin() + 6), Frame(cmd.begin() + 6, cmd.end())},
  };
  for (const auto &pieces : splits) {
    board.clear_received();
    for (const Frame &p : pieces) {
      ASSERT_TRUE(port->write(p));
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(port->read(7, kReplyWait), make_frame(0x06, 0x01, 0x05));
    ASSERT_EQ(board.received_count(), 1u);
    EXPECT_EQ(board.received().front(), cmd);
  }
}

TEST_F(BoardTest, ResynchronisesOnLeadInAfterNoise) {
  const Frame cmd = make_frame(0x07, 0x00, 0x00);
  const Frame reply = make_frame(0x07, 0x00, 0x08);
  const std::vector<Frame> noises = {
      {0x00, 0xFF, 0x55},
      {0x42, 0x0D, 0x1B},              // ends in a lone ESC
      {0x1B, 0x1B},                    // ESC ESC 'B': the second one leads
      {0x1B, 0x00, 0x42, 0x06},        // ESC and 'B' apart
      {0x1B, 0x42, 0x06, 0x00},        // a frame cut short, then a whole one
      {0x1B, 0x42, 0x06, 0x00, 0x00, 0x1B},
  };
  for (const Frame &noise : noises) {
    SCOPED_TRACE(trnsim::hex(noise));
    board.clear_received();
    Frame bytes = noise;
    bytes.insert(bytes.end(), cmd.begin(), cmd.end());
    ASSERT_TRUE(port->write(bytes));
    EXPECT_EQ(port->read(7, kReplyWait), reply);
    EXPECT_TRUE(stray().empty());
    ASSERT_FALSE(board.received().empty());
    EXPECT_EQ(board.received().back(), cmd);
  }
}

// ---- Fault modes ------------------------------------------------------------

TEST_F(BoardTest, SilentAnswersNothingButObeys) {
  board.set_fault(Fault::Silent);
  ASSERT_TRUE(port->write(make_frame(0x06, 0x01, 0x05)));
  ASSERT_TRUE(board.wait_received(1, kReplyWait));
  EXPECT_TRUE(stray().empty());
  EXPECT_EQ(board.settings().volume, 5);
  board.set_fault(Fault::None);
  EXPECT_EQ(exchange(make_frame(0x06, 0, 0)), make_frame(0x06, 0x00, 0x05));
}

struct FaultCase {
  const char *name;
  Fault fault;
  int param;
  Frame expect;  // the bytes that come back for a volume read (volume 8)
};

TEST_F(BoardTest, FaultsSpoilTheReplyAsTheySay) {
  const Frame good = make_frame(0x06, 0x00, 0x08);
  Frame bad_sum = good;
  bad_sum[5] = static_cast<uint8_t>(good[5] + 1);
  auto noisy = [&](Frame noise) {
    noise.insert(noise.end(), good.begin(), good.end());
    return noise;
  };
  const FaultCase cases[] = {
      {"checksum", Fault::BadChecksum, 0, bad_sum},
      {"short default", Fault::Short, 0, Frame(good.begin(), good.begin() + 4)},
      {"short 2", Fault::Short, 2, Frame(good.begin(), good.begin() + 2)},
      {"short 6", Fault::Short, 6, Frame(good.begin(), good.begin() + 6)},
      {"delay", Fault::Delay, 150, good},
      {"noise default", Fault::Noise, 0, noisy({0x00, 0xFF, 0x55})},
      {"noise 5", Fault::Noise, 5, noisy({0x00, 0xFF, 0x55, 0x00, 0xFF})},
      {"none", Fault::None, 0, good},
  };
  for (const FaultCase &c : cases) {
    SCOPED_TRACE(c.name);
    board.set_fault(c.fault, c.param);
    EXPECT_EQ(board.fault(), c.fault);
    ASSERT_TRUE(port->write(make_frame(0x06, 0, 0)));
    EXPECT_EQ(trnsim::hex(port->read(c.expect.size(), kReplyWait)), trnsim::hex(c.expect));
    EXPECT_TRUE(stray().empty());
  }
}

TEST_F(BoardTest, HangUpClosesTheLineOnTheNextCommand) {
  board.set_fault(Fault::HangUp);
  ASSERT_TRUE(port->write(make_frame(0x06, 0, 0)));
  ASSERT_TRUE(board.wait_received(1, kReplyWait));
  // The client sees the hang-up: readable with EOF or EIO, no reply bytes.
  pollfd p{port->fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, static_cast<int>(kReplyWait.count())), 1);
  EXPECT_NE(p.revents & (POLLHUP | POLLIN), 0);
  uint8_t b[8];
  ssize_t got = ::read(port->fd(), b, sizeof b);
  EXPECT_TRUE(got == 0 || (got < 0 && errno == EIO)) << "read gave " << got;
  EXPECT_LT(board.master_fd(), 0);

  // Started again, the board is on a new line and answers normally.
  board.stop();
  ASSERT_TRUE(board.start());
  simclient::Port again(board.slave_path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(board.fault(), Fault::None);
  ASSERT_TRUE(again.write(make_frame(0x06, 0, 0)));
  EXPECT_EQ(again.read(7, kReplyWait), make_frame(0x06, 0x00, 0x08));
}

TEST_F(BoardTest, HangUpCalledDirectlyEndsTheLine) {
  EXPECT_EQ(exchange(make_frame(0x06, 0, 0)), make_frame(0x06, 0x00, 0x08));
  board.hang_up();
  EXPECT_LT(board.master_fd(), 0);
  uint8_t b[8];
  ssize_t got = ::read(port->fd(), b, sizeof b);
  EXPECT_TRUE(got == 0 || (got < 0 && errno == EIO)) << "read gave " << got;
  board.hang_up();  // a second hang-up has nothing left to close
  board.press(Input::Cradle);  // and writes go nowhere, without error
}

// ---- Status frames -----------------------------------------------------------

TEST_F(BoardTest, PressAndReleaseSendTheStatusBits) {
  struct Step {
    bool press;
    Input in;
    uint8_t a, b;
  };
  const Step steps[] = {
      {true, Input::Cradle, 0x01, 0x00},    {true, Input::Power, 0x03, 0x00},
      {true, Input::NurseCall, 0x0B, 0x00}, {true, Input::LineOut, 0x4B, 0x00},
      {true, Input::MicIn, 0xCB, 0x00},     {true, Input::VolDown, 0xCB, 0x01},
      {true, Input::VolUp, 0xCB, 0x03},     {true, Input::ChDown, 0xCB, 0x07},
      {true, Input::ChUp, 0xCB, 0x0F},      {true, Input::ChUp, 0xCB, 0x0F},
      {false, Input::Cradle, 0xCA, 0x0F},   {false, Input::VolUp, 0xCA, 0x0D},
      {false, Input::MicIn, 0x4A, 0x0D},    {false, Input::MicIn, 0x4A, 0x0D},
      {false, Input::NurseCall, 0x42, 0x0D}, {false, Input::Power, 0x40, 0x0D},
      {false, Input::LineOut, 0x00, 0x0D},  {false, Input::ChDown, 0x00, 0x09},
      {false, Input::VolDown, 0x00, 0x08},  {false, Input::ChUp, 0x00, 0x00},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(std::string(s.press ? "press " : "release ") + trnsim::input_name(s.in));
    if (s.press) board.press(s.in);
    else board.release(s.in);
    EXPECT_EQ(trnsim::hex(port->read(7, kReplyWait)), trnsim::hex(make_frame(0x02, s.a, s.b)));
    EXPECT_EQ(board.status_a(), s.a);
    EXPECT_EQ(board.status_b(), s.b);
  }
}

TEST_F(BoardTest, SendStatusSetsTheBytesThatPressThenChanges) {
  board.send_status(0x49, 0x03);
  EXPECT_EQ(port->read(7, kReplyWait), make_frame(0x02, 0x49, 0x03));
  board.press(Input::ChUp);
  EXPECT_EQ(port->read(7, kReplyWait), make_frame(0x02, 0x49, 0x0B));
  board.release(Input::NurseCall);
  EXPECT_EQ(port->read(7, kReplyWait), make_frame(0x02, 0x41, 0x0B));
}

TEST_F(BoardTest, SendRawWritesBytesVerbatim) {
  const Frame bytes = {0x1B, 0x42, 0x02, 0x0D, 0x0A, 0x00, 0xFF};
  board.send_raw(bytes);
  EXPECT_EQ(port->read(bytes.size(), kReplyWait), bytes);
  EXPECT_TRUE(stray().empty());
}

// Status frames from one thread and replies from the service thread must not
// interleave inside a frame: the client must see only whole, valid frames.
TEST_F(BoardTest, RepliesAndStatusFramesNeverInterleave) {
  constexpr int kPresses = 200, kCommands = 60;
  std::thread presser([&] {
    for (int i = 0; i < kPresses; ++i) {
      if (i % 2) board.release(Input::VolUp);
      else board.press(Input::VolUp);
    }
  });
  for (int i = 0; i < kCommands; ++i) ASSERT_TRUE(port->write(make_frame(0x07, 0, 0)));
  presser.join();
  Frame all = port->read(7 * (kPresses + kCommands), 10000ms);
  ASSERT_EQ(all.size(), 7u * (kPresses + kCommands));
  int status = 0, replies = 0;
  for (size_t i = 0; i < all.size(); i += 7) {
    Frame f(all.begin() + static_cast<long>(i), all.begin() + static_cast<long>(i) + 7);
    if (f == make_frame(0x07, 0x00, 0x08)) {
      ++replies;
    } else {
      ASSERT_TRUE(f == make_frame(0x02, 0, 0x02) || f == make_frame(0x02, 0, 0x00))
          << "at " << i << ": " << trnsim::hex(f);
      ++status;
    }
  }
  EXPECT_EQ(status, kPresses);
  EXPECT_EQ(replies, kCommands);
}

// A slow line must not hold up a hang-up: the run being paced out on
// another thread gives way, and the log keeps only the bytes that went out.
TEST_F(BoardTest, HangUpCutsShortARunBeingPaced) {
  board.set_line_rate(50);  // 220 ms a byte: 22 s for the whole run
  std::thread sender([&] { board.send_raw(Frame(100, 0x55)); });
  EXPECT_EQ(port->read(1, kReplyWait).size(), 1u);
  const auto asked = std::chrono::steady_clock::now();
  board.hang_up();
  sender.join();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - asked).count(),
            kReplyWait.count());
  EXPECT_LT(board.master_fd(), 0);
  const auto log = board.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_GE(log[0].bytes.size(), 1u);
  EXPECT_LT(log[0].bytes.size(), 100u);
}

// ---- Log -----------------------------------------------------------------------

TEST_F(BoardTest, LogsFramesInBothDirections) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<trnsim::LogEntry> seen;
  board.set_logger([&](const trnsim::LogEntry &e) {
    std::lock_guard<std::mutex> lk(mu);
    seen.push_back(e);
    cv.notify_all();
  });
  board.set_fault(Fault::Noise, 2);
  const Frame cmd = make_frame(0x08, 0, 0);
  ASSERT_TRUE(port->write(cmd));
  EXPECT_EQ(port->read(9, kReplyWait).size(), 9u);
  board.press(Input::Power);
  EXPECT_EQ(port->read(7, kReplyWait).size(), 7u);

  const auto log = board.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_TRUE(log[0].received);
  EXPECT_EQ(log[0].bytes, cmd);
  EXPECT_FALSE(log[1].received);
  EXPECT_EQ(log[1].bytes, (Frame{0x00, 0xFF}));
  EXPECT_FALSE(log[2].received);
  EXPECT_EQ(log[2].bytes, make_frame(0x08, 0x00, 0x01));
  EXPECT_FALSE(log[3].received);
  EXPECT_EQ(log[3].bytes, make_frame(0x02, 0x02, 0x00));
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].when, log[i].when);
  // The callback may run just after the bytes are out: wait for it.
  std::unique_lock<std::mutex> lk(mu);
  ASSERT_TRUE(cv.wait_for(lk, kReplyWait, [&] { return seen.size() >= log.size(); }));
  board.set_logger(nullptr);
  ASSERT_EQ(seen.size(), log.size());
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(seen[i].bytes, log[i].bytes);
}

TEST_F(BoardTest, WaitReceivedTimesOutWithoutFrames) {
  EXPECT_FALSE(board.wait_received(1, 100ms));
  ASSERT_TRUE(port->write(make_frame(0x00, 0, 0)));
  EXPECT_TRUE(board.wait_received(1, kReplyWait));
  EXPECT_FALSE(board.wait_received(2, 100ms));
}

// ---- Helpers ------------------------------------------------------------------

TEST(SimHelpers, MakeFrameAndHex) {
  EXPECT_EQ(trnsim::hex(make_frame(0x06, 0x03, 0x00)), "1b 42 06 03 00 66 0d");
  EXPECT_EQ(make_frame(0x0A, 0x80, 0x07)[5], 0xEE);
  EXPECT_EQ(make_frame(0xF1, 0x00, 0x00)[5], 0x4E);  // the sum wraps
  EXPECT_EQ(trnsim::hex(Frame{}), "");
}

TEST(SimHelpers, InputNamesRoundTripAndAreLenient) {
  const Input all[] = {Input::Cradle, Input::VolDown, Input::VolUp, Input::ChDown, Input::ChUp,
                       Input::Power,  Input::NurseCall, Input::LineOut, Input::MicIn};
  for (Input in : all) {
    Input back = Input::Cradle;
    ASSERT_TRUE(trnsim::parse_input(trnsim::input_name(in), &back)) << trnsim::input_name(in);
    EXPECT_EQ(back, in);
  }
  const struct {
    const char *text;
    Input in;
  } lenient[] = {{"Vol_Down", Input::VolDown}, {"VOL-UP", Input::VolUp},
                 {"ch_down", Input::ChDown},   {"Line_Out", Input::LineOut},
                 {"MIC-IN", Input::MicIn},     {"nurse-call", Input::NurseCall}};
  for (const auto &l : lenient) {
    Input got = Input::Cradle;
    EXPECT_TRUE(trnsim::parse_input(l.text, &got)) << l.text;
    EXPECT_EQ(got, l.in) << l.text;
  }
  for (const char *bad : {"", "volume", "line", "cradles", "mic-out"}) {
    EXPECT_FALSE(trnsim::parse_input(bad, nullptr)) << bad;
  }
}

}  // namespace
