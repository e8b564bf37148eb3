// Selection handlers: radio groups, the ring LED box and the two "Set"
// buttons of the switch banks.  Each turns the current choice into one write
// command and traces what it sent and what came back.
//
// A radio group's change emits "toggled" twice, first on the button going
// off and then on the button coming on.  Each group handler therefore acts on
// every second call only, using a guard flag that is 1 between the two calls
// of one change and 0 otherwise; that way one change sends one command with
// the newly selected value.
#include <cstdio>
#include <cstring>

#include "VXTRN.h"
#include "panel.h"
#include "panel_tables.h"

using namespace trn::panel_tables;

int color_ok = 0;
int ringonoff_ok = 0;
int ringlowhight_ok = 0;
int ringfreq_ok = 0;
int volumeoption_ok = 0;
int nurse_onoff = 0;
int pass_onoff = 0;

namespace {

constexpr size_t VALUE_LEN = 16;         // value buffer of most handlers
constexpr size_t SHORT_VALUE_LEN = 13;   // nurse-call and pass-through buffer

const char *text_of(gpointer data) { return data ? static_cast<const char *>(data) : ""; }

bool same(const char *a, const char *b) { return strcmp(a, b) == 0; }

// Copies text into a zeroed value buffer (truncating to fit).
template <size_t N>
void load(unsigned char (&buf)[N], const char *text) {
  memset(buf, 0, N);
  snprintf(reinterpret_cast<char *>(buf), N, "%s", text);
}

template <size_t N>
const char *as_text(const unsigned char (&buf)[N]) {
  return reinterpret_cast<const char *>(buf);
}

// The guard rule: true on the call that should act.  The first call of a
// pair only raises the flag.
bool second_of_pair(int &flag) {
  if (!flag) {
    flag = 1;
    return false;
  }
  return true;
}

// Sum of the bits of the ticked boxes.
template <int N>
unsigned checked_bits(const BitBox (&boxes)[N]) {
  unsigned value = 0;
  for (const BitBox &b : boxes)
    if (gtk_toggle_button_get_active(toggle(b.slot))) value += b.bit;
  return value;
}

}  // namespace

void trn::panel_tables::apply_membrane_colors(const char *first, const char *second) {
  gdk_color_parse(first, &color1);
  gtk_color_button_set_color(GTK_COLOR_BUTTON(obj[COLOR_BTN_1]), &color1);
  gdk_color_parse(second, &color2);
  gtk_color_button_set_color(GTK_COLOR_BUTTON(obj[COLOR_BTN_2]), &color2);
}

void test_print(GtkWidget *, gpointer data) { printf("== %s ==\n", text_of(data)); }

void change_color(GtkWidget *, gpointer data) {
  if (!second_of_pair(color_ok)) return;
  const char *label = text_of(data);
  for (const MembraneState &m : membrane_states) {
    if (!same(label, m.label)) continue;
    apply_membrane_colors(m.color1, m.color2);
    unsigned char refvar[VALUE_LEN];
    load(refvar, m.value);
    puts(m.trace);
    printf("The LED value will be set is %s\n", m.value);
    MembraneLed(refvar);
    printf(" ------------- MembraneLed Value --------------- %x\n", refvar[0]);
    break;
  }
  color_ok = 0;
}

void set_ringtone_onoff(GtkWidget *, gpointer data) {
  if (!second_of_pair(ringonoff_ok)) return;
  unsigned char refvar[VALUE_LEN];
  load(refvar, text_of(data));
  const char *value = text_of(data);
  if (same(value, "1")) printf("======== Set Ring Tone ON ======= %s =====\n", as_text(refvar));
  if (same(value, "0")) printf("======== Set Ring Tone OFF ======= %s =====\n", as_text(refvar));
  printf("------- value for turn ON/OFF Ringtone is %s\n", as_text(refvar));
  RingToneTurn(refvar);
  printf("------- value return fm turn ON/OFF Ringtone is %x\n", refvar[0]);
  ringonoff_ok = 0;
}

void set_ringtone_lowhigh(GtkWidget *, gpointer data) {
  if (!second_of_pair(ringlowhight_ok)) return;
  unsigned char refvar[VALUE_LEN];
  load(refvar, text_of(data));
  const char *value = text_of(data);
  if (same(value, "1")) printf("======== Set Ring Tone High ======= %s =====\n", as_text(refvar));
  if (same(value, "0")) printf("======== Set Ring Tone Low ======= %s =====\n", as_text(refvar));
  RingToneVolume(refvar);
  ringlowhight_ok = 0;
}

void set_ring_freq(GtkWidget *, gpointer data) {
  if (!second_of_pair(ringfreq_ok)) return;
  unsigned char refvar[VALUE_LEN];
  load(refvar, text_of(data));
  printf("The Ring Frequency will set to -- %s --\n", as_text(refvar));
  RingToneFreq(refvar);
  printf("The Ring Frequency Return from setting to -- %x --\n", refvar[0]);
  ringfreq_ok = 0;
}

void set_ringtone_led(GtkWidget *, gpointer) {
  unsigned char refvar[VALUE_LEN];
  load(refvar, gtk_toggle_button_get_active(toggle(RINGTONE_LED)) ? "1" : "0");
  printf("The Ring Tone LED will set to -- %s --\n", as_text(refvar));
  RingToneLED(refvar);
  printf("The Ring Tone LED Return from setting to -- %x --\n", refvar[0]);
}

void set_volume_option(GtkWidget *, gpointer data) {
  if (!second_of_pair(volumeoption_ok)) return;
  unsigned char refvar[VALUE_LEN];
  load(refvar, text_of(data));
  printf("The Volume Option will set to -- %s --\n", as_text(refvar));
  AudioOutOption(refvar);
  printf("The Volume Option Return from setting to -- %x --\n", refvar[0]);

  // The volume applies to the newly chosen output: show its current value.
  // A failed read leaves the entry as it was.
  unsigned char volume[VALUE_LEN];
  load(volume, "ff");
  if (VolumeValue(volume)) {
    char shown[4];
    snprintf(shown, sizeof shown, "%d", reply_number(volume[0]));
    gtk_entry_set_text(GTK_ENTRY(obj[VOLUME_SET_VALUE]), shown);
  }
  puts("================ Read Ring Tone Volume With Volume Option Setting ==============");
  volumeoption_ok = 0;
}

void set_gpio(GtkWidget *, gpointer) {
  unsigned value = checked_bits(gpio_bits);
  printf(" ****** The current GPIO checked value is %x\n", value);
  unsigned char refvar[VALUE_LEN] = {};
  snprintf(reinterpret_cast<char *>(refvar), sizeof refvar, "%x", value);
  printf(" ++++++ The value sent to GPIO checked string is %s\n", as_text(refvar));
  Switch1Status(refvar, 0);
  printf(" ++++++ The value return fm GPIO checked string is %x\n", refvar[0]);
}

void set_audio_control(GtkWidget *, gpointer) {
  unsigned value = checked_bits(audio_bits);
  printf(" ****** The current Audio Control checked value is %x\n", value);
  unsigned char refvar[VALUE_LEN] = {};
  snprintf(reinterpret_cast<char *>(refvar), sizeof refvar, "%x", value);
  printf(" ++++++ The value Sent to Switch2Status is %s\n", as_text(refvar));
  Switch2Status(refvar, 0);
  printf(" ++++++ The value Return fm Switch2Status is %x\n", refvar[0]);
}

void set_nurse_call_onoff(GtkWidget *, gpointer data) {
  unsigned char refvar[SHORT_VALUE_LEN] = {};
  if (!second_of_pair(nurse_onoff)) return;
  load(refvar, text_of(data));
  const char *value = text_of(data);
  if (same(value, "1")) printf("======== Set Nurse Call LED ON ======= %s =====\n", as_text(refvar));
  if (same(value, "0")) printf("======== Set Nurse Call LED OFF ======= %s =====\n", as_text(refvar));
  printf("------- value for turn ON/OFF Nurse Call is %s\n", as_text(refvar));
  NurseCallLED(refvar, 0);
  // On success the first byte is the raw reply byte, shown as a character.
  printf("------- value return fm turn ON/OFF Nurse Call LED is %s\n", as_text(refvar));
  nurse_onoff = 0;
}

void set_pass_through_onoff(GtkWidget *, gpointer data) {
  unsigned char refvar[SHORT_VALUE_LEN] = {};
  if (!second_of_pair(pass_onoff)) return;
  load(refvar, text_of(data));
  const char *value = text_of(data);
  if (same(value, "1")) printf("======== Set Pass Through ON ======= %s =====\n", as_text(refvar));
  if (same(value, "0")) printf("======== Set Pass Through OFF ======= %s =====\n", as_text(refvar));
  printf("------- value for turn ON/OFF Pass Through is %s\n", as_text(refvar));
  PwBtnPassThrough(refvar, 0);
  printf("------- value return fm turn ON/OFF Pass Through is %s\n", as_text(refvar));
  pass_onoff = 0;
}
