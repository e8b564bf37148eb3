// The operator window: builds the eight panels in their 2 x 6 grid, stores
// every named control in the registry obj and connects each control to its
// handler.  Nothing here talks to the board; the read-back fills the
// controls once the port is open.
#include "panel.h"
#include "shell.h"  // destroy, the Exit handler

GtkWidget *obj[TOTAL_BTNS];

const char *const audio_label[8] = {"Int. Line-Out", "Jack Line-Out", "Handset Line-Out",
                                    "Remote Line-Out", "Int. MIC-In",   "Jack MIC-In",
                                    "Handset MIC-In",  "Remote MIC-In"};
const char *const button_status_label[7] = {"Vol Down", "Vol Up", "Ch Down",   "Ch Up",
                                            "Power",    "Cradle", "Nurse Call"};
const char *const led_label[4] = {"Green", "Orange", "ALL OFF", "ALL ON"};
const char *const ringtone_label[2] = {"Ring Tone Turn ON", "Ring Tone Turn OFF"};
const char *const nurse_call_label[2] = {"Nurse Call LED OFF", "Nurse Call LED ON"};
const char *const ringtone_volume_label[2] = {"Ring Volume Low", "Ring Volume High"};
const char *const ring_frequency_label[6] = {"1", "2", "3", "4", "5", "6"};
const char *const other_label[3] = {"Remote GPIO 2", "Remote GPIO 1", "Remote GPIO 0"};
const char *const volume_set_label[5] = {"Int.", "Jack", "Handset", "Remote", "ALL"};
const char *const audio_jack_status_label[2] = {"Line-Out", "Mic-In"};
const char *const pw_btn_label[2] = {"Pass Through OFF", "Pass Through ON"};

GdkColor color1;
GdkColor color2;

namespace {

// Data texts handed to the handlers; they live as long as the program.
const char *const value_text[7] = {"0", "1", "2", "3", "4", "5", "6"};
const char *const on_off_text[2] = {"1", "0"};  // Ring Tone Turn ON, OFF

const char *const BACKLIGHT_HINT =
    " Click button \n to turn off \n backlight, it'll\n back on again \n after 5 secs";

constexpr GtkAttachOptions EXPAND = GTK_EXPAND;
constexpr GtkAttachOptions SHRINK = GTK_SHRINK;
constexpr GtkAttachOptions FILL = GTK_FILL;

// Every attachment in the window has an x and y padding of 3.
void attach(GtkWidget *table, GtkWidget *child, guint left, guint right, guint top,
            guint bottom, GtkAttachOptions xopt, GtkAttachOptions yopt) {
  gtk_table_attach(GTK_TABLE(table), child, left, right, top, bottom, xopt, yopt, 3, 3);
}

void pack(GtkWidget *box, GtkWidget *child, gboolean expand, gboolean fill, guint padding) {
  gtk_box_pack_start(GTK_BOX(box), child, expand, fill, padding);
}

void connect(GtkWidget *widget, const char *signal, GCallback handler, const void *data) {
  g_signal_connect_data(widget, signal, handler, const_cast<void *>(data), nullptr,
                        (GConnectFlags)0);
}

GtkWidget *framed(const char *title, GtkWidget *child) {
  GtkWidget *frame = gtk_frame_new(title);
  gtk_container_add(GTK_CONTAINER(frame), child);
  return frame;
}

// The read-back handlers take no arguments; these give them a signal's shape.
void on_read_all(GtkWidget *, gpointer) { read_all(); }
void on_read_switch1_gpio(GtkWidget *, gpointer) { read_switch1_gpio(); }
void on_read_switch2_audio(GtkWidget *, gpointer) { read_switch2_audio(); }

// A two-character, centred entry that takes the width its box gives it.
GtkWidget *value_entry(int slot) {
  obj[slot] = gtk_entry_new_with_max_length(2);
  gtk_entry_set_width_chars(GTK_ENTRY(obj[slot]), 0);
  gtk_entry_set_alignment(GTK_ENTRY(obj[slot]), 0.5);
  return obj[slot];
}

// Check buttons for slots first .. first+count-1, labelled from labels.  With
// a handler, "toggled" hands it the button's own label text.
void check_buttons(int first, const char *const *labels, int count, GCallback handler) {
  for (int i = 0; i < count; ++i) {
    GtkWidget *box = gtk_check_button_new_with_label(labels[i]);
    obj[first + i] = box;
    if (handler) connect(box, "toggled", handler, gtk_button_get_label(GTK_BUTTON(box)));
  }
}

// One radio group in slots first .. first+count-1; the first button starts
// active.  "toggled" hands the handler data[i], or the button's own label
// text when data is null.
void radio_group(int first, const char *const *labels, int count, GCallback handler,
                 const char *const *data) {
  for (int i = 0; i < count; ++i) {
    GtkWidget *radio =
        i == 0 ? gtk_radio_button_new_with_label(nullptr, labels[i])
               : gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(obj[first]),
                                                             labels[i]);
    obj[first + i] = radio;
    connect(radio, "toggled", handler,
            data ? data[i] : gtk_button_get_label(GTK_BUTTON(radio)));
  }
}

// Packs slots first .. first+count-1 into box, each expand/fill/padding.
void pack_slots(GtkWidget *box, int first, int count, gboolean expand, gboolean fill,
                guint padding) {
  for (int i = 0; i < count; ++i) pack(box, obj[first + i], expand, fill, padding);
}

// The " Up " / "Down" column and the entry / "Set" column shared by the
// Volume Set, Brightness Set and Delay Time panels.
struct Stepper {
  GCallback step;           // " Up " and "Down", data "1" and "0"
  GCallback set;            // "Set"
  const void *set_data;     // data of "Set"
  int entry_slot;
  gint spacing;             // of every box
  gboolean expand_fill;     // packing of the four controls
  guint padding;            // of every packing
};

GtkWidget *stepper_row(const Stepper &s) {
  GtkWidget *up = gtk_button_new_with_label(" Up ");
  connect(up, "clicked", s.step, value_text[1]);
  GtkWidget *down = gtk_button_new_with_label("Down");
  connect(down, "clicked", s.step, value_text[0]);
  GtkWidget *entry = value_entry(s.entry_slot);
  GtkWidget *set = gtk_button_new_with_label("Set");
  connect(set, "clicked", s.set, s.set_data ? s.set_data : obj[s.entry_slot]);

  GtkWidget *left = gtk_vbox_new(FALSE, s.spacing);
  pack(left, up, s.expand_fill, s.expand_fill, s.padding);
  pack(left, down, s.expand_fill, s.expand_fill, s.padding);
  GtkWidget *right = gtk_vbox_new(FALSE, s.spacing);
  pack(right, entry, s.expand_fill, s.expand_fill, s.padding);
  pack(right, set, s.expand_fill, s.expand_fill, s.padding);

  GtkWidget *row = gtk_hbox_new(FALSE, s.spacing);
  pack(row, left, TRUE, TRUE, s.padding);
  pack(row, right, TRUE, TRUE, s.padding);
  return row;
}

// ---- Audio Control ----------------------------------------------------------

GtkWidget *audio_io_control() {
  GtkWidget *table = gtk_table_new(5, 2, TRUE);
  gtk_table_set_row_spacings(GTK_TABLE(table), 5);
  gtk_table_set_col_spacings(GTK_TABLE(table), 5);

  check_buttons(AUDIO_CTRL_LINE_OUT, audio_label, 8, G_CALLBACK(test_print));
  GtkWidget *read = gtk_button_new_with_mnemonic("Read");
  connect(read, "clicked", G_CALLBACK(on_read_switch2_audio), nullptr);
  GtkWidget *set = gtk_button_new_with_mnemonic("Set");
  connect(set, "clicked", G_CALLBACK(set_audio_control), nullptr);

  // Line-outs down the left column, MIC-ins down the right one.
  for (int i = 0; i < 4; ++i) {
    attach(table, obj[AUDIO_CTRL_LINE_OUT + i], 0, 1, i, i + 1, FILL, SHRINK);
    attach(table, obj[INT_MIC_IN + i], 1, 2, i, i + 1, FILL, SHRINK);
  }
  attach(table, read, 0, 1, 4, 5, EXPAND, SHRINK);
  attach(table, set, 1, 2, 4, 5, EXPAND, SHRINK);
  return framed("Audio Input/Output", table);
}

GtkWidget *volume_set() {
  radio_group(VOL_SET_INT, volume_set_label, 5, G_CALLBACK(set_volume_option), value_text + 1);
  GtkWidget *options = gtk_vbox_new(FALSE, 2);
  pack_slots(options, VOL_SET_INT, 5, TRUE, TRUE, 1);

  GtkWidget *row = stepper_row({G_CALLBACK(volume_updown), G_CALLBACK(set_volume), nullptr,
                                VOLUME_SET_VALUE, 2, TRUE, 2});

  GtkWidget *vbox = gtk_vbox_new(FALSE, 2);
  pack(vbox, options, TRUE, TRUE, 2);
  pack(vbox, row, TRUE, TRUE, 2);
  return framed("Volume Set", vbox);
}

GtkWidget *audio_control() {
  GtkWidget *hbox = gtk_hbox_new(FALSE, 5);
  pack(hbox, audio_io_control(), TRUE, TRUE, 5);
  pack(hbox, volume_set(), FALSE, FALSE, 5);
  return framed("Audio Control", hbox);
}

// ---- Handset Control ----------------------------------------------------------

GtkWidget *ring_tone() {
  radio_group(RING_TURN_ON, ringtone_label, 2, G_CALLBACK(set_ringtone_onoff),
              on_off_text);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack_slots(vbox, RING_TURN_ON, 2, TRUE, TRUE, 1);
  return framed("Ring Tone", vbox);
}

GtkWidget *ring_tone_volume() {
  radio_group(RING_VOL_LOW, ringtone_volume_label, 2, G_CALLBACK(set_ringtone_lowhigh),
              value_text);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack_slots(vbox, RING_VOL_LOW, 2, TRUE, TRUE, 5);
  return framed("Ring Tone Volume", vbox);
}

GtkWidget *ring_frequency() {
  radio_group(RING_FREQ_1, ring_frequency_label, 6, G_CALLBACK(set_ring_freq), value_text + 1);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack_slots(vbox, RING_FREQ_1, 6, TRUE, TRUE, 1);
  return framed("Ring Frequency", vbox);
}

GtkWidget *handset_control() {
  // A cradle box of its own, unconnected: the monitor drives the one in
  // Button Status.
  GtkWidget *cradle = gtk_check_button_new_with_label("Cradle");
  obj[RINGTONE_LED] = gtk_check_button_new_with_label("Ringtone LED");
  connect(obj[RINGTONE_LED], "toggled", G_CALLBACK(set_ringtone_led), nullptr);

  GtkWidget *table = gtk_table_new(5, 2, TRUE);
  attach(table, ring_tone(), 0, 1, 0, 2, SHRINK, FILL);
  attach(table, ring_tone_volume(), 0, 1, 2, 4, SHRINK, FILL);
  attach(table, ring_frequency(), 1, 2, 0, 4, SHRINK, FILL);
  attach(table, obj[RINGTONE_LED], 0, 1, 4, 5, SHRINK, FILL);
  attach(table, cradle, 1, 2, 4, 5, SHRINK, FILL);
  return framed("Handset Control", table);
}

// ---- Command column -------------------------------------------------------------

GtkWidget *two_button() {
  GtkWidget *table = gtk_table_new(3, 1, TRUE);
  GtkWidget *read = gtk_button_new_with_mnemonic("Read");
  connect(read, "clicked", G_CALLBACK(on_read_all), nullptr);
  GtkWidget *exit = gtk_button_new_with_mnemonic("Exit");
  connect(exit, "clicked", G_CALLBACK(destroy), nullptr);
  // The empty middle row keeps the two apart.
  attach(table, read, 0, 1, 0, 1, EXPAND, FILL);
  attach(table, exit, 0, 1, 2, 3, EXPAND, FILL);
  return table;
}

GtkWidget *information() {
  obj[MAIN_FW_VER] = gtk_label_new("Main F/W Ver.: ");
  obj[DEVICE_VER] = gtk_label_new("Device Ver.: ");
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack(vbox, obj[MAIN_FW_VER], TRUE, TRUE, 5);
  pack(vbox, obj[DEVICE_VER], TRUE, TRUE, 5);
  return framed("Information", vbox);
}

// ---- Membrane Control -----------------------------------------------------------

GtkWidget *button_status() {
  check_buttons(BTN_VOL_DOWN, button_status_label, 7, nullptr);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 3);
  pack_slots(vbox, BTN_VOL_DOWN, 7, TRUE, TRUE, 3);
  return framed("Button Status", vbox);
}

GtkWidget *membrane_led() {
  gdk_color_parse("#cccccc", &color1);
  obj[COLOR_BTN_1] = gtk_color_button_new_with_color(&color1);
  gdk_color_parse("#cccccc", &color2);
  obj[COLOR_BTN_2] = gtk_color_button_new_with_color(&color2);
  radio_group(MEMBRANE_GREEN, led_label, 4, G_CALLBACK(change_color), nullptr);

  GtkWidget *colours = gtk_vbox_new(FALSE, 0);
  pack_slots(colours, COLOR_BTN_1, 2, TRUE, TRUE, 3);
  GtkWidget *choices = gtk_vbox_new(FALSE, 0);
  pack_slots(choices, MEMBRANE_GREEN, 4, TRUE, TRUE, 3);

  GtkWidget *hbox = gtk_hbox_new(FALSE, 0);
  pack(hbox, colours, TRUE, TRUE, 3);
  pack(hbox, choices, TRUE, TRUE, 3);
  return framed("Membrane LED", hbox);
}

GtkWidget *membrane_control() {
  GtkWidget *hbox = gtk_hbox_new(FALSE, 5);
  pack(hbox, button_status(), TRUE, TRUE, 5);
  pack(hbox, membrane_led(), TRUE, TRUE, 5);
  return framed("Membrane Control", hbox);
}

// ---- Panel Control ----------------------------------------------------------------

GtkWidget *brightness_set() {
  return framed("Brightness Set",
                stepper_row({G_CALLBACK(brightness_updown), G_CALLBACK(set_brightness),
                             nullptr, BRIGHT_SET_VALUE, 5, TRUE, 5}));
}

GtkWidget *backlight_off() {
  GtkWidget *hint = gtk_label_new(BACKLIGHT_HINT);
  obj[BACKLIGTH_OFF] = gtk_button_new_with_mnemonic("Off");
  connect(obj[BACKLIGTH_OFF], "clicked", G_CALLBACK(turn_off), nullptr);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 5);
  pack(vbox, hint, TRUE, TRUE, 5);
  pack(vbox, obj[BACKLIGTH_OFF], TRUE, TRUE, 5);
  return framed("Backlight", vbox);
}

GtkWidget *panel_control() {
  GtkWidget *vbox = gtk_vbox_new(FALSE, 1);
  pack(vbox, brightness_set(), TRUE, FALSE, 1);
  pack(vbox, backlight_off(), TRUE, FALSE, 1);
  GtkWidget *hbox = gtk_hbox_new(FALSE, 1);
  pack(hbox, vbox, FALSE, FALSE, 1);
  return framed("Panel Control", hbox);
}

// ---- Jack and GPIO column -----------------------------------------------------------

GtkWidget *audiojack_control() {
  check_buttons(DETECT_JACK, audio_jack_status_label, 2, nullptr);
  GtkWidget *table = gtk_table_new(2, 1, TRUE);
  attach(table, obj[DETECT_JACK], 0, 1, 0, 1, FILL, FILL);
  attach(table, obj[DETECT_MIC], 0, 1, 1, 2, FILL, FILL);
  return framed("Audio Jack Status", table);
}

GtkWidget *other_control() {
  check_buttons(REMOTE_GPIO_2, other_label, 3, G_CALLBACK(test_print));
  GtkWidget *read = gtk_button_new_with_mnemonic("Read");
  connect(read, "clicked", G_CALLBACK(on_read_switch1_gpio), nullptr);
  GtkWidget *set = gtk_button_new_with_mnemonic("Set");
  connect(set, "clicked", G_CALLBACK(set_gpio), nullptr);

  // Created with two rows; attaching below them grows it to four.
  GtkWidget *table = gtk_table_new(2, 2, TRUE);
  for (int i = 0; i < 3; ++i) attach(table, obj[REMOTE_GPIO_2 + i], 0, 2, i, i + 1, SHRINK, SHRINK);
  attach(table, read, 0, 1, 3, 4, SHRINK, SHRINK);
  attach(table, set, 1, 2, 3, 4, SHRINK, SHRINK);
  return framed("Other Control", table);
}

// ---- Power button column ------------------------------------------------------------

GtkWidget *power_button_status() {
  radio_group(PW_BTN_OFF, pw_btn_label, 2, G_CALLBACK(set_pass_through_onoff), value_text);
  GtkWidget *options = gtk_vbox_new(FALSE, 0);
  pack_slots(options, PW_BTN_OFF, 2, TRUE, TRUE, 1);

  // Up and Down step from the board's delay, Set takes the entry: the
  // handler tells them apart by "1", "0" and "2".
  GtkWidget *row = stepper_row({G_CALLBACK(pass_through_dely), G_CALLBACK(pass_through_dely),
                                value_text[2], PW_BTN_DELAY_SET, 2, FALSE, 2});
  GtkWidget *delay = gtk_vbox_new(FALSE, 2);
  pack(delay, gtk_vbox_new(FALSE, 2), TRUE, TRUE, 2);
  pack(delay, row, TRUE, TRUE, 2);

  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack(vbox, framed("Power Button Option", options), TRUE, TRUE, 1);
  pack(vbox, framed("Delay Time", delay), TRUE, TRUE, 1);
  return framed("", vbox);
}

// ---- Nurse Call ---------------------------------------------------------------------

GtkWidget *nurse_call_btn() {
  radio_group(NURSE_CALL_OFF, nurse_call_label, 2, G_CALLBACK(set_nurse_call_onoff),
              value_text);
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  pack_slots(vbox, NURSE_CALL_OFF, 2, TRUE, TRUE, 1);
  return framed("Nurse Call", vbox);
}

// A frame titled "" around a vertical box of two children packed yes/yes/5.
GtkWidget *column(GtkWidget *(*top)(), GtkWidget *(*bottom)()) {
  GtkWidget *frame = gtk_frame_new("");
  GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
  gtk_container_add(GTK_CONTAINER(frame), vbox);
  pack(vbox, top(), TRUE, TRUE, 5);
  pack(vbox, bottom(), TRUE, TRUE, 5);
  return frame;
}

}  // namespace

GtkWidget *final_table() {
  GtkWidget *table = gtk_table_new(2, 6, FALSE);
  attach(table, audio_control(), 0, 3, 0, 1, FILL, FILL);
  attach(table, handset_control(), 3, 5, 0, 1, FILL, FILL);
  attach(table, column(two_button, information), 5, 6, 0, 1, FILL, FILL);
  attach(table, membrane_control(), 0, 2, 1, 2, FILL, FILL);
  attach(table, panel_control(), 2, 3, 1, 2, FILL, FILL);
  attach(table, column(audiojack_control, other_control), 3, 4, 1, 2, FILL, FILL);
  attach(table, power_button_status(), 4, 5, 1, 2, FILL, FILL);
  attach(table, nurse_call_btn(), 5, 6, 1, 2, FILL, FILL);
  return table;
}
