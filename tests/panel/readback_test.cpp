// Read-back and identification against the simulated board: the frames on
// the wire (reads, and the write-backs that changed selections set off), the
// widgets filled and the trace.
#include <functional>
#include <string>
#include <vector>

#include "VXTRN.h"
#include "gui.h"
#include "panel.h"
#include "panel_test_util.h"

namespace {

using trnsim::Fault;
using trnsim::Settings;
using Frames = std::vector<std::string>;

std::string F(uint8_t type, uint8_t rw, uint8_t value) {
  return trnsim::hex(trnsim::make_frame(type, rw, value));
}

// The thirteen read frames of read_all, in order.
const Frames kReads = {
    F(0x09, 0x04, 0x00), F(0x03, 0x02, 0x00), F(0x03, 0x03, 0x02), F(0x03, 0x04, 0x00),
    F(0x04, 0x02, 0x00), F(0x08, 0x00, 0x00), F(0x06, 0x00, 0x00), F(0x07, 0x00, 0x00),
    F(0x0A, 0x00, 0x00), F(0x0A, 0x01, 0x00), F(0x0B, 0x02, 0x00), F(0x0C, 0x02, 0x00),
    F(0x0D, 0x00, 0x00),
};

const char *const kReadTraces[] = {
    "================ Membrane LED ==============",
    "================ RingTone ON/OFF ==============",
    "================ RingTone Volume Low/High ==============",
    "================ RingTone Frequency ==============",
    "================ RingTone LED ==============",
    "================ Volume Option ==============",
    "================ Ring Tone Volume ==============",
    "================ Brightness Volume ==============",
    "================ Switch1Status GPIO ==============",
    "================ Switch2Status AUDIO CONTROL ==============",
    "================ NURSE LED ==============",
    "================ Pass Through ==============",
};

bool on(int slot) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[slot])); }
void set_on(int slot, bool state) {
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[slot]), state);
}
std::string label(int slot) { return gtk_label_get_text(GTK_LABEL(obj[slot])); }

bool shows_color(int slot, const char *color_text) {
  GdkColor want, have;
  gdk_color_parse(color_text, &want);
  gtk_color_button_get_color(GTK_COLOR_BUTTON(obj[slot]), &have);
  return want.red == have.red && want.green == have.green && want.blue == have.blue;
}

// Everything the window shows, slot by slot.
std::string snapshot() {
  std::string s;
  for (int i = 0; i < TOTAL_BTNS; ++i) {
    GtkWidget *w = obj[i];
    s += std::to_string(i) + "=";
    if (GTK_IS_TOGGLE_BUTTON(w)) {
      s += on(i) ? "1" : "0";
    } else if (GTK_IS_ENTRY(w)) {
      s += gtk_entry_get_text(GTK_ENTRY(w));
    } else if (GTK_IS_COLOR_BUTTON(w)) {
      GdkColor c;
      gtk_color_button_get_color(GTK_COLOR_BUTTON(w), &c);
      gchar *t = gdk_color_to_string(&c);
      s += t;
      g_free(t);
    } else if (GTK_IS_LABEL(w)) {
      s += gtk_label_get_text(GTK_LABEL(w));
    }
    s += ";";
  }
  return s;
}

class ReadbackTest : public BoardTest {
 protected:
  void SetUp() override {
    if (!gui_available()) GTEST_SKIP() << "no display";
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    started_ = true;
    fresh_window();
  }
  void TearDown() override {
    if (!started_) return;
    panel_test::destroy_panel_window();
    BoardTest::TearDown();
  }
  void fresh_window() {
    panel_test::destroy_panel_window();
    for (int *flag : {&color_ok, &ringonoff_ok, &ringlowhight_ok, &ringfreq_ok,
                      &volumeoption_ok, &nurse_onoff, &pass_onoff})
      *flag = 0;
    panel_test::build_panel_window();
  }
  bool started_ = false;
};

// A board whose every setting differs from the window's initial state.
Settings all_different() {
  Settings s;
  s.membrane = 2;
  s.ring_on = 0;
  s.ring_volume = 1;
  s.ring_freq = 4;
  s.ring_led = 1;
  s.audio_option = 3;
  s.volume = 12;
  s.brightness = 5;
  s.switch1 = 0x05;
  s.switch2 = 0x8a;
  s.nurse_led = 1;
  s.pass_through = 1;
  s.pass_delay = 10;
  return s;
}

TEST_F(ReadbackTest, FirstReadAllWritesBackChangedSelectionsSecondOnlyReads) {
  board.set_settings(all_different());
  StdoutCapture out;
  read_all();
  std::string text = out.text();
  const Frames first = {
      F(0x09, 0x04, 0x00), F(0x09, 0x02, 0x00),                       // membrane, Orange
      F(0x03, 0x02, 0x00), F(0x03, 0x00, 0x00),                       // ring tone, OFF
      F(0x03, 0x03, 0x02), F(0x03, 0x03, 0x01),                       // ring volume, High
      F(0x03, 0x04, 0x00), F(0x03, 0x04, 0x04),                       // frequency 4
      F(0x04, 0x02, 0x00), F(0x04, 0x01, 0x00),                       // ring LED on
      F(0x08, 0x00, 0x00), F(0x08, 0x03, 0x00), F(0x06, 0x00, 0x00),  // Handset, volume
      F(0x06, 0x00, 0x00), F(0x07, 0x00, 0x00),                       // volume, brightness
      F(0x0A, 0x00, 0x00), F(0x0A, 0x01, 0x00),                       // GPIO, audio
      F(0x0B, 0x02, 0x00), F(0x0B, 0x01, 0x00),                       // nurse LED on
      F(0x0C, 0x02, 0x00), F(0x0C, 0x01, 0x00), F(0x0D, 0x00, 0x00),  // pass-through, delay
  };
  EXPECT_EQ(first, wire());
  for (const char *line : kReadTraces) EXPECT_EQ(1, count_lines(text, line)) << line;

  EXPECT_TRUE(on(MEMBRANE_ORANGE));
  EXPECT_TRUE(shows_color(COLOR_BTN_1, "#ff6600"));
  EXPECT_TRUE(shows_color(COLOR_BTN_2, "#cccccc"));
  EXPECT_TRUE(on(RING_TURN_OFF));
  EXPECT_TRUE(on(RING_VOL_HIGH));
  EXPECT_TRUE(on(RING_FREQ_4));
  EXPECT_TRUE(on(RINGTONE_LED));
  EXPECT_TRUE(on(VOL_SET_HANDSET));
  EXPECT_EQ("12", panel_test::entry_text(VOLUME_SET_VALUE));
  EXPECT_EQ("5", panel_test::entry_text(BRIGHT_SET_VALUE));
  EXPECT_TRUE(on(REMOTE_GPIO_2) && !on(REMOTE_GPIO_1) && on(REMOTE_GPIO_0));
  EXPECT_TRUE(on(NURSE_CALL_ON));
  EXPECT_TRUE(on(PW_BTN_ON));
  EXPECT_EQ("10", panel_test::entry_text(PW_BTN_DELAY_SET));
  // The write-backs carried the values just read: the board is unchanged.
  Settings after = board.settings();
  Settings want = all_different();
  EXPECT_EQ(0, memcmp(&want, &after, sizeof want));

  board.clear_received();
  read_all();
  EXPECT_EQ(kReads, wire());
}

// Each read-back function on its own: the board's value, the frames it sets
// off and the widgets it fills.  Selections prepared by `pre` are made before
// the board gets its value.
TEST_F(ReadbackTest, ReadBackFunctionsFillTheirWidgets) {
  struct Case {
    const char *name;
    std::function<void()> pre;
    std::function<void(Settings &)> value;
    std::function<void()> read;
    Frames sent;
    const char *trace;
    std::function<bool()> shown;  // null: the window must be unchanged
  };
  auto nothing = [] {};
  const Case cases[] = {
      {"volume 0x0c", nothing, [](Settings &s) { s.volume = 0x0c; },
       [] { read_volume_brightness(0); }, {F(0x06, 0x00, 0x00)}, kReadTraces[6],
       [] { return panel_test::entry_text(VOLUME_SET_VALUE) == "12"; }},
      {"volume 0x10", nothing, [](Settings &s) { s.volume = 0x10; },
       [] { read_volume_brightness(0); }, {F(0x06, 0x00, 0x00)}, kReadTraces[6],
       [] { return panel_test::entry_text(VOLUME_SET_VALUE) == "10"; }},
      {"brightness 5", nothing, [](Settings &s) { s.brightness = 5; },
       [] { read_volume_brightness(1); }, {F(0x07, 0x00, 0x00)}, kReadTraces[7],
       [] { return panel_test::entry_text(BRIGHT_SET_VALUE) == "5"; }},
      {"volume option 3", nothing, [](Settings &s) { s.audio_option = 3; s.volume = 9; },
       read_volume_option, {F(0x08, 0x00, 0x00), F(0x08, 0x03, 0x00), F(0x06, 0x00, 0x00)},
       kReadTraces[5],
       [] { return on(VOL_SET_HANDSET) && panel_test::entry_text(VOLUME_SET_VALUE) == "9"; }},
      {"volume option 6", nothing, [](Settings &s) { s.audio_option = 6; }, read_volume_option,
       {F(0x08, 0x00, 0x00)}, kReadTraces[5], nullptr},
      {"ring frequency 1", [] { set_on(RING_FREQ_3, true); },
       [](Settings &s) { s.ring_freq = 1; }, read_ring_freq,
       {F(0x03, 0x04, 0x00), F(0x03, 0x04, 0x01)}, kReadTraces[3], [] { return on(RING_FREQ_1); }},
      {"ring frequency 6", nothing, [](Settings &s) { s.ring_freq = 6; }, read_ring_freq,
       {F(0x03, 0x04, 0x00), F(0x03, 0x04, 0x06)}, kReadTraces[3], [] { return on(RING_FREQ_6); }},
      {"ring frequency 0", nothing, [](Settings &s) { s.ring_freq = 0; }, read_ring_freq,
       {F(0x03, 0x04, 0x00)}, kReadTraces[3], nullptr},
      {"ring frequency 7", nothing, [](Settings &s) { s.ring_freq = 7; }, read_ring_freq,
       {F(0x03, 0x04, 0x00)}, kReadTraces[3], nullptr},
      {"ring tone 0", nothing, [](Settings &s) { s.ring_on = 0; }, [] { read_ringtone_volume(0); },
       {F(0x03, 0x02, 0x00), F(0x03, 0x00, 0x00)}, kReadTraces[1],
       [] { return on(RING_TURN_OFF); }},
      {"ring tone 2", [] { set_on(RING_TURN_OFF, true); }, [](Settings &s) { s.ring_on = 2; },
       [] { read_ringtone_volume(0); }, {F(0x03, 0x02, 0x00), F(0x03, 0x01, 0x00)},
       kReadTraces[1], [] { return on(RING_TURN_ON); }},
      {"ring volume 0", [] { set_on(RING_VOL_HIGH, true); },
       [](Settings &s) { s.ring_volume = 0; }, [] { read_ringtone_volume(1); },
       {F(0x03, 0x03, 0x02), F(0x03, 0x03, 0x00)}, kReadTraces[2],
       [] { return on(RING_VOL_LOW); }},
      {"ring volume 5", nothing, [](Settings &s) { s.ring_volume = 5; },
       [] { read_ringtone_volume(1); }, {F(0x03, 0x03, 0x02), F(0x03, 0x03, 0x01)},
       kReadTraces[2], [] { return on(RING_VOL_HIGH); }},
      {"ring LED 1", nothing, [](Settings &s) { s.ring_led = 1; }, read_ringtone_led,
       {F(0x04, 0x02, 0x00), F(0x04, 0x01, 0x00)}, kReadTraces[4],
       [] { return on(RINGTONE_LED); }},
      {"ring LED 2", [] { set_on(RINGTONE_LED, true); }, [](Settings &s) { s.ring_led = 2; },
       read_ringtone_led, {F(0x04, 0x02, 0x00)}, kReadTraces[4], nullptr},
      {"membrane 2", nothing, [](Settings &s) { s.membrane = 2; }, read_membrane_led,
       {F(0x09, 0x04, 0x00), F(0x09, 0x02, 0x00)}, kReadTraces[0],
       [] {
         return on(MEMBRANE_ORANGE) && shows_color(COLOR_BTN_1, "#ff6600") &&
                shows_color(COLOR_BTN_2, "#cccccc");
       }},
      {"membrane 0", nothing, [](Settings &s) { s.membrane = 0; }, read_membrane_led,
       {F(0x09, 0x04, 0x00), F(0x09, 0x00, 0x00)}, kReadTraces[0],
       [] {
         return on(MEMBRANE_OFF) && shows_color(COLOR_BTN_1, "#cccccc") &&
                shows_color(COLOR_BTN_2, "#ffffff");
       }},
      {"membrane 4", nothing, [](Settings &s) { s.membrane = 4; }, read_membrane_led,
       {F(0x09, 0x04, 0x00)}, kReadTraces[0], nullptr},
      {"GPIO 0x05", [] { set_on(REMOTE_GPIO_1, true); }, [](Settings &s) { s.switch1 = 0x05; },
       read_switch1_gpio, {F(0x0A, 0x00, 0x00)}, kReadTraces[8],
       [] { return on(REMOTE_GPIO_2) && !on(REMOTE_GPIO_1) && on(REMOTE_GPIO_0); }},
      {"audio 0x8a", [] { set_on(JACK_MIC_IN, true); set_on(REMOTE_MIC_IN, true); },
       [](Settings &s) { s.switch2 = 0x8a; }, read_switch2_audio, {F(0x0A, 0x01, 0x00)},
       kReadTraces[9],
       [] {
         return on(AUDIO_CTRL_LINE_OUT) && on(JACK_LINE_OUT) && on(HANDSET_LINE_OUT) &&
                !on(REMOTE_LINE_OUT) && !on(INT_MIC_IN) && !on(JACK_MIC_IN) &&
                !on(HANDSET_MIC_IN) && !on(REMOTE_MIC_IN);
       }},
      {"audio 0x51", nothing, [](Settings &s) { s.switch2 = 0x51; }, read_switch2_audio,
       {F(0x0A, 0x01, 0x00)}, kReadTraces[9],
       [] {
         return !on(AUDIO_CTRL_LINE_OUT) && !on(JACK_LINE_OUT) && !on(HANDSET_LINE_OUT) &&
                !on(REMOTE_LINE_OUT) && on(INT_MIC_IN) && !on(JACK_MIC_IN) &&
                on(HANDSET_MIC_IN) && on(REMOTE_MIC_IN);
       }},
      {"nurse LED 0", [] { set_on(NURSE_CALL_ON, true); }, [](Settings &s) { s.nurse_led = 0; },
       read_nursecall_led, {F(0x0B, 0x02, 0x00), F(0x0B, 0x00, 0x00)}, kReadTraces[10],
       [] { return on(NURSE_CALL_OFF); }},
      {"nurse LED 2", [] { set_on(NURSE_CALL_ON, true); }, [](Settings &s) { s.nurse_led = 2; },
       read_nursecall_led, {F(0x0B, 0x02, 0x00)}, kReadTraces[10], nullptr},
      {"pass-through 1, delay 10", nothing,
       [](Settings &s) { s.pass_through = 1; s.pass_delay = 0x0a; }, read_pass_through,
       {F(0x0C, 0x02, 0x00), F(0x0C, 0x01, 0x00), F(0x0D, 0x00, 0x00)}, kReadTraces[11],
       [] { return on(PW_BTN_ON) && panel_test::entry_text(PW_BTN_DELAY_SET) == "10"; }},
      {"pass-through 0, delay 0x10 shown as its raw byte", [] { set_on(PW_BTN_ON, true); },
       [](Settings &s) { s.pass_through = 0; s.pass_delay = 0x10; }, read_pass_through,
       {F(0x0C, 0x02, 0x00), F(0x0C, 0x00, 0x00), F(0x0D, 0x00, 0x00)}, kReadTraces[11],
       [] { return on(PW_BTN_OFF) && panel_test::entry_text(PW_BTN_DELAY_SET) == "16"; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fresh_window();
    board.set_settings(Settings{});
    c.pre();
    Settings s = board.settings();
    c.value(s);
    board.set_settings(s);
    board.clear_received();
    std::string before = snapshot();
    StdoutCapture out;
    c.read();
    std::string text = out.text();
    EXPECT_EQ(c.sent, wire());
    EXPECT_EQ(1, count_lines(text, c.trace));
    if (c.shown) {
      EXPECT_TRUE(c.shown());
    } else {
      EXPECT_EQ(before, snapshot());
    }
  }
}

// With a silent board every read fails: the window keeps what it showed,
// nothing is written back, and every trace line is still printed.
TEST_F(ReadbackTest, FailedReadsLeaveTheWindowAlone) {
  // A state the garbage of a failed read would disturb: the value texts'
  // first characters ("f", "0", "2", "4", or none) would show as 66, select
  // the ring tone, clear the nurse-call and pass-through radios, and so on.
  set_on(RING_TURN_OFF, true);
  set_on(RING_FREQ_3, true);
  set_on(MEMBRANE_ON, true);
  set_on(VOL_SET_REMOTE, true);
  set_on(RINGTONE_LED, true);
  set_on(NURSE_CALL_ON, true);
  set_on(PW_BTN_ON, true);
  set_on(REMOTE_GPIO_1, true);
  set_on(JACK_MIC_IN, true);
  gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), "7");
  gtk_entry_set_text(GTK_ENTRY(obj[BRIGHT_SET_VALUE]), "9");
  gtk_entry_set_text(GTK_ENTRY(obj[PW_BTN_DELAY_SET]), "4");
  board.set_settings(all_different());
  board.set_fault(Fault::Silent);
  board.clear_received();
  std::string before = snapshot();

  StdoutCapture out;
  read_all();
  std::string text = out.text();
  ASSERT_TRUE(board.wait_received(kReads.size(), std::chrono::seconds(5)));
  EXPECT_EQ(kReads, wire());
  EXPECT_EQ(before, snapshot());
  for (const char *line : kReadTraces) EXPECT_EQ(1, count_lines(text, line)) << line;
}

TEST_F(ReadbackTest, IdentificationAcceptsOnlyTheExpectedModel) {
  struct Case {
    uint8_t major, minor;
    int accepted;
    const char *ids_line;
    const char *device;
  };
  const Case cases[] = {
      {0x07, 0x42, 1, "7 - 42", "Device Ver.: Q742"},
      {0x07, 0x43, 0, "7 - 43", "Device Ver.: Q743"},
      {0x08, 0x42, 0, "8 - 42", "Device Ver.: Q842"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.device);
    fresh_window();
    Settings s;
    s.major = c.major;
    s.minor = c.minor;
    s.firmware = 0x11;
    board.set_settings(s);
    board.clear_received();
    identifierOK = 1 - c.accepted;
    StdoutCapture out;
    update_version();
    std::string text = out.text();
    EXPECT_EQ(c.accepted, identifierOK);
    EXPECT_EQ(c.device, label(DEVICE_VER));
    EXPECT_EQ("Main F/W Ver.: 11", label(MAIN_FW_VER));
    EXPECT_EQ(1, count_lines(text, c.ids_line));
    EXPECT_EQ(1, count_lines(text, "11 "));
    EXPECT_EQ(1, count_lines(text, "================ Device Identifier =============="));
    EXPECT_EQ(1, count_lines(text, "================ Firmware Version =============="));
    EXPECT_EQ((Frames{F(0x00, 0x00, 0x00), F(0x01, 0x00, 0x00)}), wire());
  }
}

TEST_F(ReadbackTest, IdentificationWithoutReplyRefusesAndKeepsLabels) {
  board.set_fault(Fault::Silent);
  identifierOK = 1;
  StdoutCapture out;
  update_version();
  std::string text = out.text();
  EXPECT_EQ(0, identifierOK);
  EXPECT_EQ("Device Ver.: ", label(DEVICE_VER));
  EXPECT_EQ("Main F/W Ver.: ", label(MAIN_FW_VER));
  EXPECT_FALSE(contains(text, " - "));
  EXPECT_EQ(0, count_lines(text, "0 "));
  EXPECT_EQ(1, count_lines(text, "================ Device Identifier =============="));
  EXPECT_EQ(1, count_lines(text, "================ Firmware Version =============="));
  ASSERT_TRUE(board.wait_received(2, std::chrono::seconds(5)));
  EXPECT_EQ((Frames{F(0x00, 0x00, 0x00), F(0x01, 0x00, 0x00)}), wire());
}

}  // namespace
