// The window's structure and wiring: what each registry slot holds, the
// state right after building, where controls sit, and that each control
// reaches the board with the data it was connected with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VXTRN.h"
#include "app.h"
#include "panel_test_util.h"

using namespace panel_test;

namespace {

using LayoutTest = PanelTest;

enum Kind { CHECK, RADIO, ENTRY, COLOR, BUTTON, LABEL };

struct SlotRun {
  int first, count;
  Kind kind;
  std::vector<const char *> texts;  // label of each slot, where it has one
};

const std::vector<SlotRun> slot_runs = {
    {AUDIO_CTRL_LINE_OUT, 8, CHECK,
     {"Int. Line-Out", "Jack Line-Out", "Handset Line-Out", "Remote Line-Out", "Int. MIC-In",
      "Jack MIC-In", "Handset MIC-In", "Remote MIC-In"}},
    {BTN_VOL_DOWN, 7, CHECK, {"Vol Down", "Vol Up", "Ch Down", "Ch Up", "Power", "Cradle", "Nurse Call"}},
    {MEMBRANE_GREEN, 4, RADIO, {"Green", "Orange", "ALL OFF", "ALL ON"}},
    {VOLUME_SET_VALUE, 2, ENTRY, {}},
    {RING_TURN_ON, 2, RADIO, {"Ring Tone Turn ON", "Ring Tone Turn OFF"}},
    {RING_VOL_LOW, 2, RADIO, {"Ring Volume Low", "Ring Volume High"}},
    {RING_FREQ_1, 6, RADIO, {"1", "2", "3", "4", "5", "6"}},
    {REMOTE_GPIO_2, 3, CHECK, {"Remote GPIO 2", "Remote GPIO 1", "Remote GPIO 0"}},
    {COLOR_BTN_1, 2, COLOR, {}},
    {VOL_SET_INT, 5, RADIO, {"Int.", "Jack", "Handset", "Remote", "ALL"}},
    {BACKLIGTH_OFF, 1, BUTTON, {"Off"}},
    {MAIN_FW_VER, 2, LABEL, {}},
    {RINGTONE_LED, 1, CHECK, {"Ringtone LED"}},
    {DETECT_JACK, 2, CHECK, {"Line-Out", "Mic-In"}},
    {NURSE_CALL_OFF, 2, RADIO, {"Nurse Call LED OFF", "Nurse Call LED ON"}},
    {PW_BTN_OFF, 2, RADIO, {"Pass Through OFF", "Pass Through ON"}},
    {PW_BTN_DELAY_SET, 1, ENTRY, {}},
};

GType type_of(Kind k) {
  switch (k) {
    case CHECK: return GTK_TYPE_CHECK_BUTTON;
    case RADIO: return GTK_TYPE_RADIO_BUTTON;
    case ENTRY: return GTK_TYPE_ENTRY;
    case COLOR: return GTK_TYPE_COLOR_BUTTON;
    case BUTTON: return GTK_TYPE_BUTTON;
    case LABEL: return GTK_TYPE_LABEL;
  }
  return G_TYPE_INVALID;
}

int child_prop(GtkWidget *child, const char *name) {
  guint value = 99;
  gtk_container_child_get(GTK_CONTAINER(gtk_widget_get_parent(child)), child, name, &value,
                          nullptr);
  return static_cast<int>(value);
}

TEST_F(LayoutTest, EverySlotHoldsItsControlAndText) {
  int covered = 0;
  for (const auto &run : slot_runs) {
    for (int i = 0; i < run.count; ++i) {
      GtkWidget *w = obj[run.first + i];
      ASSERT_NE(nullptr, w) << "slot " << run.first + i;
      EXPECT_EQ(type_of(run.kind), G_OBJECT_TYPE(w)) << "slot " << run.first + i;
      if (!run.texts.empty()) {
        EXPECT_STREQ(run.texts[i], gtk_button_get_label(GTK_BUTTON(w))) << "slot " << run.first + i;
      }
      ++covered;
    }
  }
  EXPECT_EQ(TOTAL_BTNS, covered);
}

TEST_F(LayoutTest, BuildingPrintsAndSendsNothingAndStartsClear) {
  EXPECT_EQ("", build_trace);
  EXPECT_TRUE(board.received().empty());
  for (int slot : {VOLUME_SET_VALUE, BRIGHT_SET_VALUE, PW_BTN_DELAY_SET}) EXPECT_EQ("", entry_text(slot));
  EXPECT_STREQ("Main F/W Ver.: ", gtk_label_get_text(GTK_LABEL(obj[MAIN_FW_VER])));
  EXPECT_STREQ("Device Ver.: ", gtk_label_get_text(GTK_LABEL(obj[DEVICE_VER])));
  for (int slot : {COLOR_BTN_1, COLOR_BTN_2}) {
    GdkColor c;
    gtk_color_button_get_color(GTK_COLOR_BUTTON(obj[slot]), &c);
    EXPECT_EQ(0xcccc, c.red);
    EXPECT_EQ(0xcccc, c.green);
    EXPECT_EQ(0xcccc, c.blue);
  }
  // Every check box is clear; each of the seven radio groups is its own
  // group, with its first button active.
  for (const auto &run : slot_runs) {
    for (int i = 0; run.kind == CHECK && i < run.count; ++i) {
      EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[run.first + i])));
    }
    if (run.kind != RADIO) continue;
    GSList *group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(obj[run.first]));
    EXPECT_EQ(static_cast<guint>(run.count), g_slist_length(group)) << run.texts[0];
    for (int i = 0; i < run.count; ++i) {
      GtkWidget *w = obj[run.first + i];
      EXPECT_EQ(group, gtk_radio_button_get_group(GTK_RADIO_BUTTON(w)));
      EXPECT_EQ(i == 0, gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w))) << run.texts[i];
    }
  }
}

TEST_F(LayoutTest, EntriesKeepAtMostTwoCharacters) {
  for (int slot : {VOLUME_SET_VALUE, BRIGHT_SET_VALUE, PW_BTN_DELAY_SET}) {
    gtk_entry_set_text(GTK_ENTRY(obj[slot]), "12345");
    EXPECT_EQ("12", entry_text(slot));
  }
}

TEST_F(LayoutTest, HandsetCradleIsNotTheMonitoredOne) {
  GtkWidget *status_cradle = find_button_in(window, "Button Status", "Cradle");
  GtkWidget *handset_cradle = find_button_in(window, "Handset Control", "Cradle");
  ASSERT_NE(nullptr, handset_cradle);
  EXPECT_EQ(obj[BTN_CRADLE], status_cradle);
  EXPECT_NE(obj[BTN_CRADLE], handset_cradle);

  StdoutCapture out;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(handset_cradle), TRUE);
  pump_for(200);
  EXPECT_EQ("", out.text());
  EXPECT_TRUE(board.received().empty());
  EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[BTN_CRADLE])));
}

TEST_F(LayoutTest, TablePositions) {
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(0, child_prop(obj[AUDIO_CTRL_LINE_OUT + i], "left-attach"));
    EXPECT_EQ(i, child_prop(obj[AUDIO_CTRL_LINE_OUT + i], "top-attach"));
    EXPECT_EQ(1, child_prop(obj[INT_MIC_IN + i], "left-attach"));
    EXPECT_EQ(i, child_prop(obj[INT_MIC_IN + i], "top-attach"));
  }
  GtkWidget *audio_io = find_frame(window, "Audio Input/Output");
  GtkWidget *other = find_frame(window, "Other Control");
  struct { GtkWidget *frame; const char *label; int left, top; } buttons[] = {
      {audio_io, "Read", 0, 4}, {audio_io, "Set", 1, 4}, {other, "Read", 0, 3}, {other, "Set", 1, 3}};
  for (const auto &b : buttons) {
    GtkWidget *w = find_button(b.frame, b.label);
    ASSERT_NE(nullptr, w) << b.label;
    EXPECT_EQ(b.left, child_prop(w, "left-attach")) << b.label;
    EXPECT_EQ(b.top, child_prop(w, "top-attach")) << b.label;
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0, child_prop(obj[REMOTE_GPIO_2 + i], "left-attach"));
    EXPECT_EQ(2, child_prop(obj[REMOTE_GPIO_2 + i], "right-attach"));
    EXPECT_EQ(i, child_prop(obj[REMOTE_GPIO_2 + i], "top-attach"));
  }
  guint rows = 0;
  g_object_get(gtk_widget_get_parent(obj[REMOTE_GPIO_2]), "n-rows", &rows, nullptr);
  EXPECT_EQ(4u, rows);
}

// The data fixed at connection time reaches the board: each "Set" hands its
// handler its own panel's entry, each "Read" asks for its own switch bank.
// (The selection handlers' data is exercised through this window by their
// own tests.)
TEST_F(LayoutTest, ButtonsSendTheirConnectedData) {
  gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), "12");
  gtk_entry_set_text(GTK_ENTRY(obj[BRIGHT_SET_VALUE]), "3");
  struct { const char *frame, *label; std::string sent; } cases[] = {
      {"Volume Set", "Set", frame_hex(TYPE_VOLUME, 0x01, 0x0c)},
      {"Brightness Set", "Set", frame_hex(TYPE_BRIGHTNESS, 0x01, 0x03)},
      {"Audio Input/Output", "Read", frame_hex(TYPE_SWITCH, 0x01, 0)},
      {"Other Control", "Read", frame_hex(TYPE_SWITCH, 0x00, 0)},
  };
  for (const auto &c : cases) {
    board.clear_received();
    DialogAnswerer dialogs;
    StdoutCapture quiet;
    click(c.frame, c.label);
    EXPECT_TRUE(dialogs.texts().empty()) << c.frame;
    auto frames = wire();
    ASSERT_FALSE(frames.empty()) << c.frame;
    EXPECT_EQ(c.sent, frames.front()) << c.frame;
  }
}

TEST_F(LayoutTest, ReadAndExitAreWired) {
  GtkWidget *exit = find_button(window, "Exit");
  ASSERT_NE(nullptr, exit);
  // Exit ends every process of this name, so it is only looked at here.
  EXPECT_NE(0u, g_signal_handler_find(exit, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                      reinterpret_cast<gpointer>(destroy), nullptr));
  GtkWidget *column = gtk_widget_get_parent(gtk_widget_get_parent(exit));
  GtkWidget *read = find_button(column, "Read");
  ASSERT_NE(nullptr, read);
  StdoutCapture quiet;
  gtk_button_clicked(GTK_BUTTON(read));
  EXPECT_GE(board.received_count(), 10u);  // the read-back asks for every setting
}

}  // namespace
