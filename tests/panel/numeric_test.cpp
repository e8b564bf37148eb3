// Volume, brightness, delay and backlight controls, driven through the real
// buttons against the simulated board: the frames on the wire, the trace and
// what the entry shows afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "VXTRN.h"
#include "panel_test_util.h"

using namespace panel_test;

namespace {

using NumericTest = PanelTest;

const char *const MSG_0_TO_15 = "ERROR Input!\nOnly digit 0 to 15 is valid!\nPlease Try Again.\n";
const char *const MSG_1_TO_10 = "ERROR Input!\nOnly digit 1 to 10 is valid!\nPlease Try Again.\n";

TEST(ValueText, HexToIntNotValidGetHex) {
  struct { const char *in; int out; } hex_cases[] = {
      {"e", 14}, {"a", 10}, {"f", 15}, {"10", 10}, {"1f", 1}, {"F", 0}, {"", 0}, {"ee", 0}, {" 7", 7}};
  for (const auto &c : hex_cases) EXPECT_EQ(c.out, hex_to_int(c.in)) << '"' << c.in << '"';

  for (const char *ok : {"0", "9", "10", "15"}) EXPECT_EQ(0, not_valid(ok)) << ok;
  for (const char *bad : {"", "015", "07", "16", "-1", "+1", " 1", "1 ", "a", "99"})
    EXPECT_EQ(1, not_valid(bad)) << '"' << bad << '"';

  EXPECT_STREQ("a", get_hex(10));
  EXPECT_STREQ("f", get_hex(15));
  EXPECT_EQ(nullptr, get_hex(9));
  EXPECT_EQ(nullptr, get_hex(16));
}

struct SetCase {
  const char *frame;   // "Volume Set" or "Brightness Set"
  const char *typed;
  std::string sent;    // expected frame, empty when the dialog refuses it
  const char *trace;   // a line the trace must hold
};

TEST_F(NumericTest, SetSendsTheEntryOrRefusesIt) {
  const SetCase cases[] = {
      {"Volume Set", "", "", nullptr},
      {"Volume Set", "07", "", nullptr},
      {"Volume Set", "16", "", nullptr},
      {"Volume Set", "12", frame_hex(trn::TYPE_VOLUME, 0x01, 0x0c), "The volume is set to 12 "},
      {"Volume Set", "9", frame_hex(trn::TYPE_VOLUME, 0x01, 0x09),
       "The volume pass into function is 9"},
      {"Brightness Set", "15", frame_hex(trn::TYPE_BRIGHTNESS, 0x01, 0x0f),
       "The brightness pass into function is f"},
      {"Brightness Set", "x", "", nullptr},
  };
  for (const auto &c : cases) {
    int slot = std::string(c.frame) == "Volume Set" ? VOLUME_SET_VALUE : BRIGHT_SET_VALUE;
    gtk_entry_set_text(GTK_ENTRY(obj[slot]), c.typed);
    board.clear_received();
    DialogAnswerer dialogs;
    StdoutCapture out;
    click(c.frame, "Set");
    std::string text = out.text();
    EXPECT_EQ(c.typed, entry_text(slot)) << c.typed;
    if (c.sent.empty()) {
      EXPECT_EQ(std::vector<std::string>{MSG_0_TO_15}, dialogs.texts()) << c.typed;
      EXPECT_TRUE(board.received().empty()) << c.typed;
      EXPECT_EQ("", text) << c.typed;
    } else {
      EXPECT_TRUE(dialogs.texts().empty()) << c.typed;
      EXPECT_EQ(std::vector<std::string>{c.sent}, wire()) << c.typed;
      EXPECT_EQ(1, count_lines(text, c.trace)) << text;
    }
  }
  EXPECT_EQ(15, board.settings().brightness);
}

struct StepCase {
  const char *frame;
  const char *before;
  const char *button;  // " Up " or "Down"
  const char *after;   // entry afterwards
  int cur;             // the handler's new number (the entry keeps two characters)
  int board_step;      // +1, -1, or 0 when refused
};

TEST_F(NumericTest, UpAndDownStepEntryAndBoardSeparately) {
  const StepCase cases[] = {
      {"Volume Set", "0", "Down", "0", 0, 0},      {"Volume Set", "15", " Up ", "15", 15, 0},
      {"Volume Set", "16", " Up ", "17", 17, +1},  {"Volume Set", "", "Down", "0", 0, -1},
      {"Volume Set", "00", "Down", "-1", -1, -1},  {"Volume Set", "-1", "Down", "-1", -1, -1},
      {"Volume Set", "99", " Up ", "10", 100, +1}, {"Volume Set", "5", " Up ", "6", 6, +1},
      {"Brightness Set", "15", " Up ", "15", 15, 0}, {"Brightness Set", "3", "Down", "2", 2, -1},
  };
  for (const auto &c : cases) {
    const bool volume = std::string(c.frame) == "Volume Set";
    const int slot = volume ? VOLUME_SET_VALUE : BRIGHT_SET_VALUE;
    const uint8_t type = volume ? trn::TYPE_VOLUME : trn::TYPE_BRIGHTNESS;
    const std::string word = volume ? "volume" : "brightness";
    trnsim::Settings s = board.settings();
    s.volume = s.brightness = 8;
    board.set_settings(s);
    gtk_entry_set_text(GTK_ENTRY(obj[slot]), c.before);
    board.clear_received();
    StdoutCapture out;
    click(c.frame, c.button);
    std::string text = out.text();
    const std::string label = std::string(c.frame) + " '" + c.before + "'" + c.button;

    EXPECT_EQ(c.after, entry_text(slot)) << label;
    s = board.settings();
    EXPECT_EQ(8 + c.board_step, volume ? s.volume : s.brightness) << label;
    if (c.board_step == 0) {
      EXPECT_TRUE(board.received().empty()) << label;
      EXPECT_EQ("Increase or dercease " + word + " out of range, no action\n", text) << label;
    } else {
      EXPECT_EQ(std::vector<std::string>{frame_hex(type, c.board_step > 0 ? 0x03 : 0x02, 0)}, wire())
          << label;
      EXPECT_EQ(1, count_lines(text, word + " after change is " + std::to_string(c.cur))) << text;
    }
  }
}

// What one exchange prints: writeport's six lines, then readport's result.
std::string exchange_trace(const trnsim::Frame &sent, const trnsim::Frame &reply) {
  std::string out;
  char line[64];
  for (int i = 0; i < 6; i++) {
    snprintf(line, sizeof line, "len=%d, %x\n", i, sent[i]);
    out += line;
  }
  out += "Get Result =";
  for (int i = 0; i < 7; i++) {
    snprintf(line, sizeof line, " %x", reply[i]);
    out += line;
  }
  return out + "\n";
}

// The whole trace of a Set and of a step, line by line and in order.
TEST_F(NumericTest, SetAndStepTraceEveryLineInOrder) {
  using trnsim::make_frame;
  gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), "12");
  StdoutCapture set_out;
  click("Volume Set", "Set");
  EXPECT_EQ(exchange_trace(make_frame(trn::TYPE_VOLUME, 0x01, 0x0c),
                           make_frame(trn::TYPE_VOLUME, 0x01, 0x0c)) +
                "The volume pass into function is c\n"
                "The volume is set to 12 \n"
                " ------------- Volume Value --------------- c\n",
            set_out.text());

  gtk_entry_set_text(GTK_ENTRY(obj[BRIGHT_SET_VALUE]), "7");
  trnsim::Settings s = board.settings();
  s.brightness = 3;
  board.set_settings(s);
  StdoutCapture step_out;
  click("Brightness Set", " Up ");
  EXPECT_EQ(
      "current brightness value is 7\n"
      "------- value pass into Brightness Down Up is 1\n" +
          exchange_trace(make_frame(trn::TYPE_BRIGHTNESS, 0x03, 0x00),
                         make_frame(trn::TYPE_BRIGHTNESS, 0x03, 0x04)) +
          "------- value return fm Brightness Down Up is 4\n"
          "brightness after change is 8\n",
      step_out.text());
  EXPECT_EQ("8", entry_text(BRIGHT_SET_VALUE));
}

struct DelayCase {
  int board_delay;
  const char *typed;
  const char *button;
  bool refused;      // the 1-to-10 dialog, no write
  int written;       // delay written when not refused
  const char *after; // entry afterwards
};

TEST_F(NumericTest, DelayTimeStepsFromTheBoardAndSetsFromTheEntry) {
  const std::string read = frame_hex(trn::TYPE_PASS_DELAY, 0x00, 0);
  const DelayCase cases[] = {
      {10, "", " Up ", true, 0, "10"}, {1, "", "Down", true, 0, "1"},
      {3, "10", "Set", false, 10, "10"}, {3, "a", "Set", true, 0, "3"},
      {3, "7", " Up ", false, 4, "4"}, {3, "", "Down", false, 2, "2"},
  };
  for (const auto &c : cases) {
    trnsim::Settings s = board.settings();
    s.pass_delay = static_cast<uint8_t>(c.board_delay);
    board.set_settings(s);
    gtk_entry_set_text(GTK_ENTRY(obj[PW_BTN_DELAY_SET]), c.typed);
    board.clear_received();
    DialogAnswerer dialogs;
    StdoutCapture out;
    click("Delay Time", c.button);
    const std::string text = out.text();
    const std::string label = std::to_string(c.board_delay) + " '" + c.typed + "' " + c.button;

    // Only Set prints the number it took from the entry, with no line end.
    const std::string debug = "debug::" + std::to_string(atoi(c.typed));
    if (std::string(c.button) == "Set")
      EXPECT_NE(std::string::npos, text.find(debug + "len=")) << label << "\n" << text;
    else
      EXPECT_EQ(std::string::npos, text.find("debug::")) << label;

    EXPECT_EQ(c.after, entry_text(PW_BTN_DELAY_SET)) << label;
    if (c.refused) {
      EXPECT_EQ(std::vector<std::string>{MSG_1_TO_10}, dialogs.texts()) << label;
      EXPECT_EQ((std::vector<std::string>{read, read}), wire()) << label;
      EXPECT_EQ(c.board_delay, board.settings().pass_delay) << label;
    } else {
      EXPECT_TRUE(dialogs.texts().empty()) << label;
      EXPECT_EQ((std::vector<std::string>{read, frame_hex(trn::TYPE_PASS_DELAY, 0x01, c.written)}),
                wire())
          << label;
      EXPECT_EQ(c.written, board.settings().pass_delay) << label;
    }
  }
}

const std::string OFF = "1b 42 05 00 00 62 0d";

// The "on" write must not come early: a timer cannot fire before its 5 s, so a
// lower bound a little under 5 s holds however slow the machine is.
const auto NOT_BEFORE = std::chrono::milliseconds(4500);

std::chrono::steady_clock::duration since(std::chrono::steady_clock::time_point t) {
  return std::chrono::steady_clock::now() - t;
}

TEST_F(NumericTest, BacklightComesBackOnByItself) {
  StdoutCapture out;
  const auto clicked = std::chrono::steady_clock::now();
  click("Backlight", "Off");
  EXPECT_EQ(std::vector<std::string>{OFF}, wire());
  EXPECT_EQ(0, board.settings().backlight);
  ASSERT_TRUE(pump_until([&] { return board.received_count() >= 2; }, 8000));
  EXPECT_GE(since(clicked), NOT_BEFORE);
  pump_for(300);
  EXPECT_EQ((std::vector<std::string>{OFF, frame_hex(trn::TYPE_BACKLIGHT, 0x01, 0)}), wire());
  EXPECT_EQ(1, board.settings().backlight);
  std::string text = out.text();
  EXPECT_EQ(1, count_lines(text, "------- value to turn OFF backlight is 0"));
  EXPECT_EQ(1, count_lines(text, "------- value to turn ON backlight is 1"));
}

TEST_F(NumericTest, EachOffClickGetsItsOwnOn) {
  StdoutCapture quiet;
  const auto first = std::chrono::steady_clock::now();
  click("Backlight", "Off");
  pump_for(1000);
  const auto second = std::chrono::steady_clock::now();
  click("Backlight", "Off");
  ASSERT_TRUE(pump_until([&] { return board.received_count() >= 3; }, 9000));
  EXPECT_GE(since(first), NOT_BEFORE);
  ASSERT_TRUE(pump_until([&] { return board.received_count() >= 4; }, 9000));
  EXPECT_GE(since(second), NOT_BEFORE);
  pump_for(300);
  const std::string on = frame_hex(trn::TYPE_BACKLIGHT, 0x01, 0);
  EXPECT_EQ((std::vector<std::string>{OFF, OFF, on, on}), wire());
}

}  // namespace
