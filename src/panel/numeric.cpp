// Numeric controls of the panel: Volume Set and Brightness Set (0 to 15),
// the power button's Delay Time (1 to 10 seconds) and the Backlight "Off"
// button, plus the value text helpers and the error dialog they share.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"
#include "panel.h"
#include "shell.h"  // window, the dialogs' parent

namespace {

const char *const hex_letters[6] = {"a", "b", "c", "d", "e", "f"};

const char *const MSG_0_TO_15 = "ERROR Input!\nOnly digit 0 to 15 is valid!\nPlease Try Again.\n";
const char *const MSG_1_TO_10 = "ERROR Input!\nOnly digit 1 to 10 is valid!\nPlease Try Again.\n";

constexpr int SET_SIZE = 16;  // the value buffer handed to a command

// The volume and brightness controls differ only in their entry, their two
// commands and their trace lines.
struct LevelControl {
  int entry_slot;
  int (*value_cmd)(unsigned char *);  // absolute setting
  int (*step_cmd)(unsigned char *);   // one step: "1" up, "0" down
  const char *pass_into;              // the trace lines, in the order printed
  const char *set_to;
  const char *value_line;
  const char *out_of_range;
  const char *current;
  const char *step_pass;
  const char *step_return;
  const char *after_change;
};

const LevelControl VOLUME = {VOLUME_SET_VALUE,
                             VolumeValue,
                             VolumeDownUp,
                             "The volume pass into function is %s\n",
                             "The volume is set to %d \n",
                             " ------------- Volume Value --------------- %x\n",
                             "Increase or dercease volume out of range, no action",
                             "current volume value is %d\n",
                             "------- value pass into Volume Down Up is %s\n",
                             "------- value return fm Volume Down Up is %x\n",
                             "volume after change is %d\n"};
const LevelControl BRIGHTNESS = {BRIGHT_SET_VALUE,
                                 BrightnessValue,
                                 BrightnessDownUp,
                                 "The brightness pass into function is %s\n",
                                 "The brightness is set to %d \n",
                                 " ------------- Brightness Value --------------- %x\n",
                                 "Increase or dercease brightness out of range, no action",
                                 "current brightness value is %d\n",
                                 "------- value pass into Brightness Down Up is %s\n",
                                 "------- value return fm Brightness Down Up is %x\n",
                                 "brightness after change is %d\n"};

char *text_of(unsigned char *set) { return reinterpret_cast<char *>(set); }

void show_number(int slot, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  gtk_entry_set_text(GTK_ENTRY(obj[slot]), text);
}

// "Set": sends the entry's number, 0 to 15, as one hexadecimal digit.
void set_level(const LevelControl &c, GtkWidget *entry) {
  unsigned char set[SET_SIZE];
  memset(set, 0, sizeof set);
  snprintf(text_of(set), sizeof set, "%s", gtk_entry_get_text(GTK_ENTRY(entry)));
  if (not_valid(text_of(set))) {
    message_dialog_clicked(window, const_cast<char *>(MSG_0_TO_15));
    return;
  }
  int vol = atoi(text_of(set));
  if (vol <= 9)
    snprintf(text_of(set), sizeof set, "%d", vol);
  else
    snprintf(text_of(set), sizeof set, "%s", get_hex(vol));
  // The command overwrites the first byte with its reply; keep what was sent.
  char sent[SET_SIZE];
  snprintf(sent, sizeof sent, "%s", text_of(set));
  c.value_cmd(set);
  printf(c.pass_into, sent);
  printf(c.set_to, vol);
  printf(c.value_line, set[0]);
}

// " Up " / "Down": steps the board by one and the entry by one, each on its
// own; only the direction goes to the board.
void step_level(const LevelControl &c, const char *direction) {
  unsigned char set[SET_SIZE];
  memset(set, 0, sizeof set);
  snprintf(text_of(set), sizeof set, "%s", direction);
  char text[SET_SIZE];
  snprintf(text, sizeof text, "%s", gtk_entry_get_text(GTK_ENTRY(obj[c.entry_slot])));

  const bool up = strcmp(text_of(set), "1") == 0;
  const bool down = strcmp(text_of(set), "0") == 0;
  if ((down && strcmp(text, "0") == 0) || (up && strcmp(text, "15") == 0)) {
    puts(c.out_of_range);
    return;
  }
  int cur = atoi(text);
  printf(c.current, cur);
  if (up) cur++;
  if (down && cur >= 0 && text[0] != '\0') cur--;
  show_number(c.entry_slot, cur);

  printf(c.step_pass, text_of(set));
  c.step_cmd(set);
  printf(c.step_return, set[0]);
  printf(c.after_change, cur);
}

// Backlight write with the value text "0" or "1" and its two trace lines.
void backlight(const char *value, const char *to_line, const char *return_line) {
  unsigned char set[SET_SIZE];
  memset(set, 0, sizeof set);
  snprintf(text_of(set), sizeof set, "%s", value);
  printf(to_line, text_of(set));
  BackLight(set);
  printf(return_line, set[0]);
}

}  // namespace

int hex_to_int(const char *in) {
  for (int i = 0; i < 6; ++i)
    if (strcmp(in, hex_letters[i]) == 0) return 10 + i;
  return atoi(in);
}

const char *get_hex(int num) {
  if (num >= 10 && num <= 15) return hex_letters[num - 10];
  return nullptr;
}

int not_valid(const char *val) {
  for (int n = 0; n <= 15; ++n) {
    char text[4];
    snprintf(text, sizeof text, "%d", n);
    if (strcmp(val, text) == 0) return 0;
  }
  return 1;
}

void message_dialog_clicked(GtkWidget *, gpointer data) {
  GtkWidget *dialog = gtk_message_dialog_new(
      GTK_WINDOW(window), GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, "%s", static_cast<const char *>(data));
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

void set_volume(GtkWidget *, gpointer data) { set_level(VOLUME, GTK_WIDGET(data)); }

void set_brightness(GtkWidget *, gpointer data) { set_level(BRIGHTNESS, GTK_WIDGET(data)); }

void volume_updown(GtkWidget *, gpointer data) {
  step_level(VOLUME, static_cast<const char *>(data));
}

void brightness_updown(GtkWidget *, gpointer data) {
  step_level(BRIGHTNESS, static_cast<const char *>(data));
}

void pass_through_dely(GtkWidget *, gpointer data) {
  const char *action = static_cast<const char *>(data);
  unsigned char set[SET_SIZE];
  memset(set, 0, sizeof set);
  PassThroughDelay(set, 1);
  int vol = set[0];

  // Up and Down step from the board's delay; Set takes the entry.
  if (strcmp(action, "1") == 0) {
    vol++;
  } else if (strcmp(action, "0") == 0) {
    vol--;
  } else if (strcmp(action, "2") == 0) {
    vol = atoi(gtk_entry_get_text(GTK_ENTRY(obj[PW_BTN_DELAY_SET])));
    printf("debug::%d", vol);
  }

  if (vol <= 0 || vol > 10) {
    message_dialog_clicked(window, const_cast<char *>(MSG_1_TO_10));
    // Show the board's delay again (the first read's byte if this one fails).
    PassThroughDelay(set, 1);
    vol = set[0];
  } else {
    memset(set, 0, sizeof set);
    snprintf(text_of(set), sizeof set, "%x", static_cast<unsigned>(vol));
    PassThroughDelay(set, 0);
  }
  show_number(PW_BTN_DELAY_SET, vol);
}

void turn_off(GtkWidget *, gpointer) {
  backlight("0", "------- value to turn OFF backlight is %s\n",
            "------- value return fm turn OFF backlight is %x\n");
  // Each click arms its own timer.
  g_timeout_add(5000, turn_on, nullptr);
}

gboolean turn_on(gpointer) {
  backlight("1", "------- value to turn ON backlight is %s\n",
            "------- value return fm turn ON backlight is %x\n");
  gtk_button_leave(GTK_BUTTON(obj[BACKLIGTH_OFF]));
  return FALSE;
}
