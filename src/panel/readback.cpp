// Read-back and identification: asks the board who it is and what each
// setting holds, and shows the answers in the window.
//
// Widgets are changed through the same toolkit calls a click makes, so a
// changed selection sets off its handler, which writes the value back to the
// board; a widget that already shows the value emits nothing.  A read whose
// exchange fails leaves its widgets as they were.
#include <cstdio>

#include "VXTRN.h"
#include "panel.h"
#include "panel_tables.h"
#include "settings.h"

using namespace trn::panel_tables;

int identifierOK = 0;

namespace {

constexpr size_t VALUE_LEN = 16;
constexpr size_t LABEL_LEN = 32;

// One read exchange: the value buffer is zeroed and loaded with the read
// text, handed to cmd, and on success its first byte (the reply byte) is
// stored in *byte.  The command's own result decides; a failed exchange
// reports false and no byte.
template <class Cmd>
bool read_byte(const char *text, Cmd cmd, unsigned char *byte) {
  unsigned char refvar[VALUE_LEN] = {};
  snprintf(reinterpret_cast<char *>(refvar), sizeof refvar, "%s", text);
  if (!cmd(refvar)) return false;
  *byte = refvar[0];
  return true;
}

// Same, with the reply byte converted the panel's way (reply_number).
template <class Cmd>
bool read_number(const char *text, Cmd cmd, int *number) {
  unsigned char byte = 0;
  if (!read_byte(text, cmd, &byte)) return false;
  *number = reply_number(byte);
  return true;
}

void select_radio(int slot) { gtk_toggle_button_set_active(toggle(slot), TRUE); }

void show_number(int slot, int number) {
  char shown[4];
  snprintf(shown, sizeof shown, "%d", number);
  gtk_entry_set_text(GTK_ENTRY(obj[slot]), shown);
}

// Selects first + n - 1 for n in 1..count; other numbers select nothing.
void select_nth(int first, int count, int n) {
  if (n >= 1 && n <= count) select_radio(first + n - 1);
}

// Selects off_slot for 0 and on_slot for 1; other numbers leave the pair.
void select_off_on(int number, int off_slot, int on_slot) {
  if (number == 0) select_radio(off_slot);
  if (number == 1) select_radio(on_slot);
}

template <int N>
void show_bits(const BitBox (&boxes)[N], unsigned char byte) {
  for (const BitBox &b : boxes) gtk_toggle_button_set_active(toggle(b.slot), (byte & b.bit) != 0);
}

// Appends text to the label's current text, within the label buffer.
void append_label(int slot, const char *text) {
  char composed[LABEL_LEN];
  snprintf(composed, sizeof composed, "%s%s", gtk_label_get_text(GTK_LABEL(obj[slot])), text);
  gtk_label_set_text(GTK_LABEL(obj[slot]), composed);
}

int switch1_read(unsigned char *b) { return Switch1Status(b, 1); }
int switch2_read(unsigned char *b) { return Switch2Status(b, 1); }
int nurse_read(unsigned char *b) { return NurseCallLED(b, 1); }

}  // namespace

void update_version() {
  unsigned char major = 0, minor = 0;
  identifierOK = 0;
  if (VXTRNDeviceIdentifier(&major, &minor)) {
    printf("%x - %x\n", major, minor);
    append_label(DEVICE_VER, trn::model_text(major, minor).c_str());
    identifierOK = trn::is_q742(major, minor) ? 1 : 0;
  }
  puts("================ Device Identifier ==============");

  unsigned char fw = 0;
  if (VXTRNVer(&fw)) {
    printf("%x \n", fw);
    char fw_text[4];
    snprintf(fw_text, sizeof fw_text, "%x", fw);
    append_label(MAIN_FW_VER, fw_text);
  }
  puts("================ Firmware Version ==============");
}

void read_volume_brightness(int module) {
  int number = 0;
  if (module == 0) {
    if (read_number("ff", VolumeValue, &number)) show_number(VOLUME_SET_VALUE, number);
    puts("================ Ring Tone Volume ==============");
  } else {
    if (read_number("ff", BrightnessValue, &number)) show_number(BRIGHT_SET_VALUE, number);
    puts("================ Brightness Volume ==============");
  }
}

void read_volume_option() {
  int number = 0;
  if (read_number("0", AudioOutOption, &number)) select_nth(VOL_SET_INT, 5, number);
  puts("================ Volume Option ==============");
}

void read_ringtone_volume(int module) {
  int number = 0;
  if (module == 0) {
    if (read_number("2", RingToneTurn, &number)) select_radio(number == 0 ? RING_TURN_OFF : RING_TURN_ON);
    puts("================ RingTone ON/OFF ==============");
  } else {
    if (read_number("2", RingToneVolume, &number))
      select_radio(number == 0 ? RING_VOL_LOW : RING_VOL_HIGH);
    puts("================ RingTone Volume Low/High ==============");
  }
}

void read_ring_freq() {
  int number = 0;
  if (read_number("0", RingToneFreq, &number)) select_nth(RING_FREQ_1, 6, number);
  puts("================ RingTone Frequency ==============");
}

void read_ringtone_led() {
  int number = 0;
  if (read_number("2", RingToneLED, &number) && (number == 0 || number == 1))
    gtk_toggle_button_set_active(toggle(RINGTONE_LED), number == 1);
  puts("================ RingTone LED ==============");
}

void read_membrane_led() {
  int number = 0;
  if (read_number("4", MembraneLed, &number) && number >= 0 && number < count(membrane_states)) {
    const MembraneState &m = membrane_states[number];
    select_radio(m.slot);
    apply_membrane_colors(m.color1, m.color2);
  }
  puts("================ Membrane LED ==============");
}

void read_switch1_gpio() {
  unsigned char byte = 0;
  if (read_byte("ff", switch1_read, &byte)) show_bits(gpio_bits, byte);
  puts("================ Switch1Status GPIO ==============");
}

void read_switch2_audio() {
  unsigned char byte = 0;
  if (read_byte("ff", switch2_read, &byte)) show_bits(audio_bits, byte);
  puts("================ Switch2Status AUDIO CONTROL ==============");
}

void read_nursecall_led() {
  int number = 0;
  if (read_number("", nurse_read, &number)) select_off_on(number, NURSE_CALL_OFF, NURSE_CALL_ON);
  puts("================ NURSE LED ==============");
}

void read_pass_through() {
  // Both reads share one value buffer; the delay is shown as its raw byte.
  unsigned char refvar[VALUE_LEN] = {};
  if (PwBtnPassThrough(refvar, 1)) select_off_on(reply_number(refvar[0]), PW_BTN_OFF, PW_BTN_ON);
  if (PassThroughDelay(refvar, 1)) show_number(PW_BTN_DELAY_SET, refvar[0]);
  puts("================ Pass Through ==============");
}

void read_all() {
  read_membrane_led();
  read_ringtone_volume(0);
  read_ringtone_volume(1);
  read_ring_freq();
  read_ringtone_led();
  read_volume_option();
  read_volume_brightness(0);
  read_volume_brightness(1);
  read_switch1_gpio();
  read_switch2_audio();
  read_nursecall_led();
  read_pass_through();
}
