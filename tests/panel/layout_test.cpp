// The window's structure and wiring: what each registry slot holds, the
// state right after building, where controls sit, and that each control
// reaches the board with the data it was connected with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VXTRN.h"
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

struct TableShape {
  const char *name;
  GtkWidget *table;
  guint rows, columns;
  bool homogeneous;
  guint row_spacing, column_spacing;
};

struct Attachment {
  const char *name;
  GtkWidget *child;
  int left, right, top, bottom;
  int x_options, y_options;
};

struct Packing {
  const char *name;
  GtkWidget *child;
  int box_spacing;
  bool expand, fill;
  int padding;
};

GtkWidget *parent(GtkWidget *w) { return w ? gtk_widget_get_parent(w) : nullptr; }

// Sizes, spacings and packing of the window, sampled panel by panel: a wrong
// number here changes how the panel looks and resizes.
TEST_F(LayoutTest, TablesBoxesAndEntriesHaveTheirShape) {
  GtkWidget *exit = find_button(window, "Exit");
  GtkWidget *grid = parent(find_frame(window, "Audio Control"));
  const TableShape tables[] = {
      {"window grid", grid, 2, 6, false, 0, 0},
      {"Audio Input/Output", parent(obj[AUDIO_CTRL_LINE_OUT]), 5, 2, true, 5, 5},
      {"Handset Control", parent(obj[RINGTONE_LED]), 5, 2, true, 0, 0},
      {"Read and Exit", parent(exit), 3, 1, true, 0, 0},
      {"Audio Jack Status", parent(obj[DETECT_JACK]), 2, 1, true, 0, 0},
      {"Other Control", parent(obj[REMOTE_GPIO_2]), 4, 2, true, 0, 0},
  };
  for (const auto &t : tables) {
    ASSERT_TRUE(t.table && GTK_IS_TABLE(t.table)) << t.name;
    guint rows = 0, columns = 0, row_spacing = 99, column_spacing = 99;
    gboolean homogeneous = !t.homogeneous;
    g_object_get(t.table, "n-rows", &rows, "n-columns", &columns, "homogeneous", &homogeneous,
                 "row-spacing", &row_spacing, "column-spacing", &column_spacing, nullptr);
    EXPECT_EQ(t.rows, rows) << t.name;
    EXPECT_EQ(t.columns, columns) << t.name;
    EXPECT_EQ(t.homogeneous, homogeneous != FALSE) << t.name;
    EXPECT_EQ(t.row_spacing, row_spacing) << t.name;
    EXPECT_EQ(t.column_spacing, column_spacing) << t.name;
  }

  const int FILL = GTK_FILL, SHRINK = GTK_SHRINK, EXPAND = GTK_EXPAND;
  const Attachment attachments[] = {
      {"Audio Control", find_frame(window, "Audio Control"), 0, 3, 0, 1, FILL, FILL},
      {"Handset Control", find_frame(window, "Handset Control"), 3, 5, 0, 1, FILL, FILL},
      {"Membrane Control", find_frame(window, "Membrane Control"), 0, 2, 1, 2, FILL, FILL},
      {"Panel Control", find_frame(window, "Panel Control"), 2, 3, 1, 2, FILL, FILL},
      {"Nurse Call", find_frame(window, "Nurse Call"), 5, 6, 1, 2, FILL, FILL},
      {"Remote Line-Out", obj[REMOTE_LINE_OUT], 0, 1, 3, 4, FILL, SHRINK},
      {"Audio Read", find_button(find_frame(window, "Audio Input/Output"), "Read"), 0, 1, 4, 5,
       EXPAND, SHRINK},
      {"Ring Tone", find_frame(window, "Ring Tone"), 0, 1, 0, 2, SHRINK, FILL},
      {"Ring Frequency", find_frame(window, "Ring Frequency"), 1, 2, 0, 4, SHRINK, FILL},
      {"Ringtone LED", obj[RINGTONE_LED], 0, 1, 4, 5, SHRINK, FILL},
      {"Exit", exit, 0, 1, 2, 3, EXPAND, FILL},
      {"Mic-In jack", obj[DETECT_MIC], 0, 1, 1, 2, FILL, FILL},
      {"Remote GPIO 0", obj[REMOTE_GPIO_0], 0, 2, 2, 3, SHRINK, SHRINK},
      {"Other Set", find_button(find_frame(window, "Other Control"), "Set"), 1, 2, 3, 4, SHRINK,
       SHRINK},
  };
  for (const auto &a : attachments) {
    ASSERT_NE(nullptr, a.child) << a.name;
    EXPECT_EQ(a.left, child_prop(a.child, "left-attach")) << a.name;
    EXPECT_EQ(a.right, child_prop(a.child, "right-attach")) << a.name;
    EXPECT_EQ(a.top, child_prop(a.child, "top-attach")) << a.name;
    EXPECT_EQ(a.bottom, child_prop(a.child, "bottom-attach")) << a.name;
    EXPECT_EQ(a.x_options, child_prop(a.child, "x-options")) << a.name;
    EXPECT_EQ(a.y_options, child_prop(a.child, "y-options")) << a.name;
    EXPECT_EQ(3, child_prop(a.child, "x-padding")) << a.name;
    EXPECT_EQ(3, child_prop(a.child, "y-padding")) << a.name;
  }

  const Packing packings[] = {
      {"volume option radio", obj[VOL_SET_ALL], 2, true, true, 1},
      {"volume entry", obj[VOLUME_SET_VALUE], 2, true, true, 2},
      {"ring volume radio", obj[RING_VOL_HIGH], 0, true, true, 5},
      {"ring frequency radio", obj[RING_FREQ_6], 0, true, true, 1},
      {"button status box", obj[BTN_NUSRE], 3, true, true, 3},
      {"membrane radio", obj[MEMBRANE_ON], 0, true, true, 3},
      {"colour button", obj[COLOR_BTN_2], 0, true, true, 3},
      {"brightness entry", obj[BRIGHT_SET_VALUE], 5, true, true, 5},
      {"backlight Off", obj[BACKLIGTH_OFF], 5, true, true, 5},
      {"Brightness Set frame", find_frame(window, "Brightness Set"), 1, true, false, 1},
      {"delay entry", obj[PW_BTN_DELAY_SET], 2, false, false, 2},
      {"pass-through radio", obj[PW_BTN_ON], 0, true, true, 1},
      {"nurse-call radio", obj[NURSE_CALL_ON], 0, true, true, 1},
      {"Volume Set frame", find_frame(window, "Volume Set"), 5, false, false, 5},
  };
  for (const auto &p : packings) {
    ASSERT_NE(nullptr, p.child) << p.name;
    GtkWidget *box = parent(p.child);
    ASSERT_TRUE(GTK_IS_BOX(box)) << p.name;
    EXPECT_EQ(p.box_spacing, gtk_box_get_spacing(GTK_BOX(box))) << p.name;
    EXPECT_FALSE(gtk_box_get_homogeneous(GTK_BOX(box))) << p.name;
    EXPECT_EQ(p.expand, child_prop(p.child, "expand") != 0) << p.name;
    EXPECT_EQ(p.fill, child_prop(p.child, "fill") != 0) << p.name;
    EXPECT_EQ(p.padding, child_prop(p.child, "padding")) << p.name;
  }

  for (int slot : {VOLUME_SET_VALUE, BRIGHT_SET_VALUE, PW_BTN_DELAY_SET}) {
    EXPECT_EQ(2, gtk_entry_get_max_length(GTK_ENTRY(obj[slot]))) << slot;
    EXPECT_EQ(0, gtk_entry_get_width_chars(GTK_ENTRY(obj[slot]))) << slot;
    EXPECT_FLOAT_EQ(0.5f, gtk_entry_get_alignment(GTK_ENTRY(obj[slot]))) << slot;
  }
}

// The data fixed at connection time reaches the board: each "Set" hands its
// handler its own panel's entry, each "Read" asks for its own switch bank.
// (The selection handlers' data is exercised through this window by their
// own tests.)
TEST_F(LayoutTest, ButtonsSendTheirConnectedData) {
  gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), "12");
  gtk_entry_set_text(GTK_ENTRY(obj[BRIGHT_SET_VALUE]), "3");
  struct { const char *frame, *label; std::string sent; } cases[] = {
      {"Volume Set", "Set", frame_hex(trn::TYPE_VOLUME, 0x01, 0x0c)},
      {"Brightness Set", "Set", frame_hex(trn::TYPE_BRIGHTNESS, 0x01, 0x03)},
      {"Audio Input/Output", "Read", frame_hex(trn::TYPE_SWITCH, 0x01, 0)},
      {"Other Control", "Read", frame_hex(trn::TYPE_SWITCH, 0x00, 0)},
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
  // Exit is connected to the shell's exit handler (here the tests'
  // stand-in: the real one ends every process of the program's name).
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
