// Selection handlers driven like an operator's clicks against the simulated
// board: one command per selection change, the frames on the wire, the trace
// and the widgets the handlers touch.
#include <string>
#include <vector>

#include "VXTRN.h"
#include "gui.h"
#include "panel.h"
#include "panel_test_util.h"

namespace {

using trnsim::Fault;

std::string F(uint8_t type, uint8_t rw, uint8_t value) {
  return trnsim::hex(trnsim::make_frame(type, rw, value));
}

int *const guard_flags[] = {&color_ok,        &ringonoff_ok, &ringlowhight_ok, &ringfreq_ok,
                            &volumeoption_ok, &nurse_onoff,  &pass_onoff};

bool all_flags_clear() {
  for (int *flag : guard_flags)
    if (*flag != 0) return false;
  return true;
}

bool shows_color(int slot, const char *color_text) {
  GdkColor want, have;
  gdk_color_parse(color_text, &want);
  gtk_color_button_get_color(GTK_COLOR_BUTTON(obj[slot]), &have);
  return want.red == have.red && want.green == have.green && want.blue == have.blue;
}

bool active(GtkWidget *w) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)); }

class SelectionTest : public BoardTest {
 protected:
  void SetUp() override {
    if (!gui_available()) GTEST_SKIP() << "no display";
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    started_ = true;
    for (int *flag : guard_flags) *flag = 0;  // isolate from an earlier failed test
    panel_test::build_panel_window();
  }
  void TearDown() override {
    if (!started_) return;
    panel_test::destroy_panel_window();
    BoardTest::TearDown();
  }
  GtkWidget *control(const char *frame, const char *label) {
    GtkWidget *w = panel_test::find_button_in(window, frame, label);
    EXPECT_NE(nullptr, w) << frame << " / " << label;
    return w;
  }
  void click(const char *frame, const char *label) {
    if (GtkWidget *w = control(frame, label)) gtk_button_clicked(GTK_BUTTON(w));
  }
  bool started_ = false;
};

TEST_F(SelectionTest, RingToneOffSendsOneCommandWithItsTrace) {
  StdoutCapture out;
  click("Ring Tone", "Ring Tone Turn OFF");
  std::string text = out.text();
  EXPECT_EQ((std::vector<std::string>{F(0x03, 0x00, 0x00)}), wire());
  EXPECT_EQ(1, count_lines(text, "======== Set Ring Tone OFF ======= 0 ====="));
  EXPECT_EQ(0, count_lines(text, "======== Set Ring Tone ON ======= 1 ====="));
  EXPECT_EQ(1, count_lines(text, "------- value for turn ON/OFF Ringtone is 0"));
  EXPECT_EQ(1, count_lines(text, "------- value return fm turn ON/OFF Ringtone is 0"));
  EXPECT_EQ(0, ringonoff_ok);
  EXPECT_EQ(0, board.settings().ring_on);
}

// A sequence of operator choices: each change sends exactly the listed
// frames, re-selecting the active radio sends and prints nothing, and every
// guard flag is back at 0 after each pair of emissions.
TEST_F(SelectionTest, EachSelectionChangeSendsOneCommand) {
  struct Step {
    const char *frame;
    const char *label;
    std::vector<std::string> sent;
  };
  const Step steps[] = {
      {"Ring Tone", "Ring Tone Turn OFF", {F(0x03, 0x00, 0x00)}},
      {"Ring Tone", "Ring Tone Turn OFF", {}},
      {"Ring Tone", "Ring Tone Turn ON", {F(0x03, 0x01, 0x00)}},
      {"Ring Tone Volume", "Ring Volume High", {F(0x03, 0x03, 0x01)}},
      {"Ring Tone Volume", "Ring Volume Low", {F(0x03, 0x03, 0x00)}},
      {"Ring Frequency", "4", {F(0x03, 0x04, 0x04)}},
      {"Ring Frequency", "6", {F(0x03, 0x04, 0x06)}},
      {"Ring Frequency", "6", {}},
      {"Membrane LED", "Orange", {F(0x09, 0x02, 0x00)}},
      {"Membrane LED", "ALL ON", {F(0x09, 0x03, 0x00)}},
      {"Membrane LED", "ALL OFF", {F(0x09, 0x00, 0x00)}},
      {"Membrane LED", "Green", {F(0x09, 0x01, 0x00)}},
      {"Membrane LED", "Green", {}},
      {"Volume Set", "Jack", {F(0x08, 0x02, 0x00), F(0x06, 0x00, 0x00)}},
      {"Volume Set", "ALL", {F(0x08, 0x05, 0x00), F(0x06, 0x00, 0x00)}},
      {"Volume Set", "ALL", {}},
      {"Nurse Call", "Nurse Call LED ON", {F(0x0B, 0x01, 0x00)}},
      {"Nurse Call", "Nurse Call LED ON", {}},
      {"Nurse Call", "Nurse Call LED OFF", {F(0x0B, 0x00, 0x00)}},
      {"Power Button Option", "Pass Through ON", {F(0x0C, 0x01, 0x00)}},
      {"Power Button Option", "Pass Through OFF", {F(0x0C, 0x00, 0x00)}},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(std::string(s.frame) + " / " + s.label);
    board.clear_received();
    StdoutCapture out;
    click(s.frame, s.label);
    std::string text = out.text();
    EXPECT_EQ(s.sent, wire());
    if (s.sent.empty()) {
      EXPECT_EQ("", text);
    }
    EXPECT_TRUE(active(control(s.frame, s.label)));
    EXPECT_TRUE(all_flags_clear());
  }
  // Trying to switch the selected radio off changes nothing either.
  board.clear_received();
  StdoutCapture out;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[PW_BTN_OFF]), FALSE);
  EXPECT_EQ("", out.text());
  EXPECT_TRUE(wire().empty());
  EXPECT_TRUE(active(obj[PW_BTN_OFF]));
  EXPECT_TRUE(all_flags_clear());
}

TEST_F(SelectionTest, MembraneChoiceSetsColoursAndTrace) {
  struct Case {
    const char *label, *color1, *color2, *line, *value;
  };
  const Case cases[] = {
      {"ALL ON", "#cccccc", "#ff9900", "<><><><><> Now is All ON", "3"},
      {"ALL OFF", "#cccccc", "#ffffff", "<><><><><> Now is All Off", "0"},
      {"Orange", "#ff6600", "#cccccc", "<><><><><> Now is Orange", "2"},
      {"Green", "#00ff00", "#cccccc", "<><><><><> Now is Green", "1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    StdoutCapture out;
    click("Membrane LED", c.label);
    std::string text = out.text();
    EXPECT_TRUE(shows_color(COLOR_BTN_1, c.color1));
    EXPECT_TRUE(shows_color(COLOR_BTN_2, c.color2));
    EXPECT_EQ(1, count_lines(text, c.line));
    EXPECT_EQ(1, count_lines(text, std::string("The LED value will be set is ") + c.value));
    // The board answers with its new state in the value byte.
    EXPECT_EQ(1, count_lines(text, std::string(" ------------- MembraneLed Value --------------- ") +
                                       c.value));
    EXPECT_EQ(c.value[0] - '0', board.settings().membrane);
  }
}

TEST_F(SelectionTest, VolumeOptionRereadsVolume) {
  trnsim::Settings s = board.settings();
  s.volume = 12;
  board.set_settings(s);
  StdoutCapture out;
  click("Volume Set", "Jack");
  std::string text = out.text();
  EXPECT_EQ((std::vector<std::string>{F(0x08, 0x02, 0x00), F(0x06, 0x00, 0x00)}), wire());
  EXPECT_EQ("12", panel_test::entry_text(VOLUME_SET_VALUE));
  EXPECT_EQ(1, count_lines(text, "The Volume Option will set to -- 2 --"));
  EXPECT_EQ(1, count_lines(text, "The Volume Option Return from setting to -- 2 --"));
  EXPECT_EQ(1, count_lines(text, "================ Read Ring Tone Volume With Volume Option "
                                 "Setting =============="));
}

// A board that does not answer: the return lines show the first character
// of the value text, the volume entry keeps its text and the selection stays.
TEST_F(SelectionTest, FailedCommandsShowTheValueText) {
  gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), "5");
  board.set_fault(Fault::Silent);
  StdoutCapture out;
  click("Volume Set", "Remote");
  click("Ring Frequency", "4");
  click("Nurse Call", "Nurse Call LED ON");
  std::string text = out.text();
  EXPECT_EQ("5", panel_test::entry_text(VOLUME_SET_VALUE));
  EXPECT_EQ(1, count_lines(text, "The Volume Option Return from setting to -- 34 --"));
  EXPECT_EQ(1, count_lines(text, "The Ring Frequency Return from setting to -- 34 --"));
  EXPECT_EQ(1, count_lines(text, "------- value return fm turn ON/OFF Nurse Call LED is 1"));
  EXPECT_TRUE(active(obj[VOL_SET_REMOTE]));
  EXPECT_TRUE(active(obj[NURSE_CALL_ON]));
  EXPECT_TRUE(all_flags_clear());
}

TEST_F(SelectionTest, NurseCallReturnLineShowsTheRawReplyByte) {
  StdoutCapture out;
  click("Power Button Option", "Pass Through ON");
  click("Nurse Call", "Nurse Call LED ON");
  std::string text = out.text();
  EXPECT_EQ(1, count_lines(text, "======== Set Pass Through ON ======= 1 ====="));
  EXPECT_EQ(1, count_lines(text, "------- value for turn ON/OFF Pass Through is 1"));
  EXPECT_EQ(1, count_lines(text, "------- value return fm turn ON/OFF Pass Through is \x01"));
  EXPECT_EQ(1, count_lines(text, "======== Set Nurse Call LED ON ======= 1 ====="));
  EXPECT_EQ(1, count_lines(text, "------- value for turn ON/OFF Nurse Call is 1"));
  EXPECT_EQ(1, count_lines(text, "------- value return fm turn ON/OFF Nurse Call LED is \x01"));
  EXPECT_EQ(1, board.settings().nurse_led);
  EXPECT_EQ(1, board.settings().pass_through);
}

TEST_F(SelectionTest, SetButtonsSendTheTickedBits) {
  struct Case {
    const char *frame;
    std::vector<const char *> ticked;
    std::string sent;
    std::string value_line;
  };
  const Case cases[] = {
      {"Other Control", {"Remote GPIO 2", "Remote GPIO 0"}, F(0x0A, 0x80, 0x05),
       " ++++++ The value sent to GPIO checked string is 5"},
      {"Other Control", {}, F(0x0A, 0x80, 0x00),
       " ++++++ The value sent to GPIO checked string is 0"},
      {"Audio Input/Output",
       {"Int. Line-Out", "Jack Line-Out", "Handset Line-Out", "Remote Line-Out", "Int. MIC-In",
        "Jack MIC-In", "Handset MIC-In", "Remote MIC-In"},
       F(0x0A, 0x81, 0xFF), " ++++++ The value Sent to Switch2Status is ff"},
      {"Audio Input/Output", {"Int. Line-Out", "Jack MIC-In"}, F(0x0A, 0x81, 0x06),
       " ++++++ The value Sent to Switch2Status is 6"},
      {"Audio Input/Output", {"Handset Line-Out", "Remote MIC-In"}, F(0x0A, 0x81, 0x90),
       " ++++++ The value Sent to Switch2Status is 90"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value_line);
    for (const char *label : c.ticked) click(c.frame, label);
    board.clear_received();
    StdoutCapture out;
    click(c.frame, "Set");
    std::string text = out.text();
    EXPECT_EQ(std::vector<std::string>{c.sent}, wire());
    EXPECT_EQ(1, count_lines(text, c.value_line));
    for (const char *label : c.ticked) click(c.frame, label);  // clear again
  }
}

TEST_F(SelectionTest, SwitchBoxesOnlyTrace) {
  StdoutCapture out;
  click("Other Control", "Remote GPIO 1");
  click("Other Control", "Remote GPIO 1");
  click("Audio Input/Output", "Jack MIC-In");
  std::string text = out.text();
  EXPECT_EQ("== Remote GPIO 1 ==\n== Remote GPIO 1 ==\n== Jack MIC-In ==\n", text);
  EXPECT_TRUE(wire().empty());
}

TEST_F(SelectionTest, RingtoneLedFollowsTheBox) {
  StdoutCapture out;
  click("Handset Control", "Ringtone LED");
  EXPECT_EQ(1, board.settings().ring_led);
  click("Handset Control", "Ringtone LED");
  std::string text = out.text();
  EXPECT_EQ((std::vector<std::string>{F(0x04, 0x01, 0x00), F(0x04, 0x00, 0x00)}), wire());
  EXPECT_EQ(1, count_lines(text, "The Ring Tone LED will set to -- 1 --"));
  EXPECT_EQ(1, count_lines(text, "The Ring Tone LED will set to -- 0 --"));
  EXPECT_EQ(0, board.settings().ring_led);
}

}  // namespace

namespace {

// The handler's own lines: the trace without the transport's lines.
std::string handler_lines(const std::string &trace) {
  std::string out;
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    end = end == std::string::npos ? trace.size() : end + 1;
    std::string line = trace.substr(at, end - at);
    if (line.rfind("len=", 0) != 0 && line.rfind("Get Result =", 0) != 0) out += line;
    at = end;
  }
  return out;
}

// Byte 4 of the last reply the trace shows ("Get Result = 1b 42 t rw v ..."),
// as "%x" prints it.
std::string last_reply_value(const std::string &trace) {
  size_t at = trace.rfind("Get Result =");
  if (at == std::string::npos) return "?";
  unsigned b[7] = {};
  if (sscanf(trace.c_str() + at, "Get Result = %x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3],
             &b[4], &b[5], &b[6]) != 7)
    return "?";
  char text[8];
  snprintf(text, sizeof text, "%x", b[4]);
  return text;
}

// Every line each handler prints, in order, and none more.
TEST_F(SelectionTest, HandlersPrintExactlyTheirLines) {
  struct Case {
    const char *name;
    std::function<void()> act;
    std::function<std::string(const std::string &reply)> lines;
  };
  auto select = [](int slot) {
    return [slot] { gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[slot]), TRUE); };
  };
  auto tick = [](std::initializer_list<int> slots) {
    for (int s = AUDIO_CTRL_LINE_OUT; s <= REMOTE_MIC_IN; s++)
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[s]), FALSE);
    for (int s = REMOTE_GPIO_2; s <= REMOTE_GPIO_0; s++)
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[s]), FALSE);
    for (int s : slots) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[s]), TRUE);
  };
  const Case cases[] = {
      {"ring volume High", select(RING_VOL_HIGH),
       [](const std::string &) { return std::string("======== Set Ring Tone High ======= 1 =====\n"); }},
      {"ring volume Low", select(RING_VOL_LOW),
       [](const std::string &) { return std::string("======== Set Ring Tone Low ======= 0 =====\n"); }},
      {"ring frequency 4", select(RING_FREQ_4),
       [](const std::string &r) {
         return "The Ring Frequency will set to -- 4 --\n"
                "The Ring Frequency Return from setting to -- " + r + " --\n";
       }},
      {"ringtone LED on", select(RINGTONE_LED),
       [](const std::string &r) {
         return "The Ring Tone LED will set to -- 1 --\n"
                "The Ring Tone LED Return from setting to -- " + r + " --\n";
       }},
      {"GPIO 2 and 0, Set",
       [&] {
         tick({REMOTE_GPIO_2, REMOTE_GPIO_0});
         click("Other Control", "Set");
       },
       [](const std::string &r) {
         return "== Remote GPIO 2 ==\n== Remote GPIO 0 ==\n"
                " ****** The current GPIO checked value is 5\n"
                " ++++++ The value sent to GPIO checked string is 5\n"
                " ++++++ The value return fm GPIO checked string is " + r + "\n";
       }},
      {"Int. Line-Out and Jack MIC-In, Set",
       [&] {
         tick({AUDIO_CTRL_LINE_OUT, JACK_MIC_IN});
         click("Audio Input/Output", "Set");
       },
       [](const std::string &r) {
         return "== Remote GPIO 2 ==\n== Remote GPIO 0 ==\n"
                "== Int. Line-Out ==\n== Jack MIC-In ==\n"
                " ****** The current Audio Control checked value is 6\n"
                " ++++++ The value Sent to Switch2Status is 6\n"
                " ++++++ The value Return fm Switch2Status is " + r + "\n";
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    board.clear_received();
    StdoutCapture out;
    c.act();
    const std::string trace = out.text();
    EXPECT_EQ(1u, board.received().size());
    EXPECT_EQ(c.lines(last_reply_value(trace)), handler_lines(trace));
    EXPECT_TRUE(all_flags_clear());
  }
}

// A membrane text the panel never passes changes no colour, sends and prints
// nothing, and leaves the flag clear.
TEST_F(SelectionTest, UnknownMembraneTextDoesNothing) {
  StdoutCapture out;
  change_color(nullptr, const_cast<char *>("Purple"));  // the call that raises the flag
  change_color(nullptr, const_cast<char *>("Purple"));
  EXPECT_EQ("", out.text());
  EXPECT_EQ(0, color_ok);
  EXPECT_TRUE(board.received().empty());
  EXPECT_TRUE(shows_color(COLOR_BTN_1, "#cccccc"));
  EXPECT_TRUE(shows_color(COLOR_BTN_2, "#cccccc"));
}

}  // namespace
