// The board's command catalogue.  Each command fills type, rw and value of a
// frame from its value text, runs one exchange, and on a valid reply stores
// one reply byte in the first byte of refvar (untouched on failure).
//
// Where the setting travels differs by command: ring tone on/off, ring LED,
// backlight, audio output option and membrane LED carry it in rw; the others
// carry it in value.  For the rw group and for ring loudness and frequency the
// empty text converts to 0, so it sends the same frame as "0", which is also
// their default frame.
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"

namespace {
constexpr int BYTE_RW = 3;
constexpr int BYTE_VALUE = 4;

// Runs one exchange and hands reply byte `from` back through refvar.
int command(unsigned char *refvar, unsigned char type, unsigned char rw, unsigned char value,
            int from = BYTE_VALUE) {
  unsigned char seTmp[trn::FRAME_LEN], reply[trn::FRAME_LEN];
  trn::build_frame(seTmp, type, rw, value);
  if (!trn::exchange_frame(seTmp, reply)) return 0;
  refvar[0] = reply[from];
  return 1;
}

unsigned char X(const unsigned char *refvar) {
  return str2hex(reinterpret_cast<const char *>(refvar));
}

bool is_ff(const unsigned char *refvar) {
  return strcmp(reinterpret_cast<const char *>(refvar), "ff") == 0;
}

// Step commands: 0 steps down (rw 2), 1 steps up (rw 3), anything else sends
// nothing.
int step(unsigned char *refvar, unsigned char type) {
  int n = atoi(reinterpret_cast<const char *>(refvar));
  if (n != 0 && n != 1) return 0;
  return command(refvar, type, n == 0 ? 0x02 : 0x03, 0x00);
}

// Nurse-call LED and pass-through: read with rw 2 (answer in byte 4); write
// rw 1 for X == 1 and rw 0 otherwise (answer, the new state, in byte 3).
int on_off(unsigned char *refvar, int isRead, unsigned char type) {
  if (isRead) return command(refvar, type, 0x02, 0x00);
  return command(refvar, type, X(refvar) == 0x01 ? 0x01 : 0x00, 0x00, BYTE_RW);
}
}  // namespace

int ButtonStatusIntervalTime(unsigned char *refvar) {
  // The value byte is the text's first character code, not converted; the
  // buffer gets the converted text back, not a reply byte.
  unsigned char converted = X(refvar);
  unsigned char seTmp[trn::FRAME_LEN], reply[trn::FRAME_LEN];
  trn::build_frame(seTmp, trn::TYPE_BUTTON_STATUS, 0x01, refvar[0]);
  if (!trn::exchange_frame(seTmp, reply)) return 0;
  refvar[0] = converted;
  return 1;
}

int RingToneTurn(unsigned char *refvar) { return command(refvar, trn::TYPE_RING_TONE, X(refvar), 0x00); }
int RingToneVolume(unsigned char *refvar) { return command(refvar, trn::TYPE_RING_TONE, 0x03, X(refvar)); }
int RingToneFreq(unsigned char *refvar) { return command(refvar, trn::TYPE_RING_TONE, 0x04, X(refvar)); }
int RingToneLED(unsigned char *refvar) { return command(refvar, trn::TYPE_RING_LED, X(refvar), 0x00); }
int BackLight(unsigned char *refvar) { return command(refvar, trn::TYPE_BACKLIGHT, X(refvar), 0x00); }
int AudioOutOption(unsigned char *refvar) { return command(refvar, trn::TYPE_AUDIO_OPTION, X(refvar), 0x00); }
int MembraneLed(unsigned char *refvar) { return command(refvar, trn::TYPE_MEMBRANE_LED, X(refvar), 0x00); }

// Only the exact text "ff" reads the setting; any other text is written.
int VolumeValue(unsigned char *refvar) {
  if (is_ff(refvar)) return command(refvar, trn::TYPE_VOLUME, 0x00, 0x00);
  return command(refvar, trn::TYPE_VOLUME, 0x01, X(refvar));
}
int BrightnessValue(unsigned char *refvar) {
  if (is_ff(refvar)) return command(refvar, trn::TYPE_BRIGHTNESS, 0x00, 0x00);
  return command(refvar, trn::TYPE_BRIGHTNESS, 0x01, X(refvar));
}

int VolumeDownUp(unsigned char *refvar) { return step(refvar, trn::TYPE_VOLUME); }
int BrightnessDownUp(unsigned char *refvar) { return step(refvar, trn::TYPE_BRIGHTNESS); }

// Switch bank 1 (remote GPIO) is rw 0x00 / 0x80, bank 2 (audio routing)
// rw 0x01 / 0x81; the high bit marks a write.
int Switch1Status(unsigned char *refvar, int isRead) {
  if (isRead) return command(refvar, trn::TYPE_SWITCH, 0x00, 0x00);
  return command(refvar, trn::TYPE_SWITCH, 0x80, X(refvar));
}
int Switch2Status(unsigned char *refvar, int isRead) {
  if (isRead) return command(refvar, trn::TYPE_SWITCH, 0x01, 0x00);
  return command(refvar, trn::TYPE_SWITCH, 0x81, X(refvar));
}

int NurseCallLED(unsigned char *refvar, int isRead) { return on_off(refvar, isRead, trn::TYPE_NURSE_LED); }
int PwBtnPassThrough(unsigned char *refvar, int isRead) {
  return on_off(refvar, isRead, trn::TYPE_PASS_THROUGH);
}

int PassThroughDelay(unsigned char *refvar, int isRead) {
  if (isRead) return command(refvar, trn::TYPE_PASS_DELAY, 0x00, 0x00);
  return command(refvar, trn::TYPE_PASS_DELAY, 0x01, X(refvar));
}

// The type says only whether mode is given; the address byte goes out as rw
// unconverted.
int EEPROM(unsigned char *mode, unsigned char *address, unsigned char *refvar) {
  return command(refvar, mode ? trn::TYPE_EEPROM_F1 : trn::TYPE_EEPROM_F0, address[0], X(refvar));
}
