// The board's command catalogue.  Each command turns its value text into a
// frame, runs one exchange, and on a valid reply stores one reply byte in the
// first byte of refvar (untouched on failure).
//
// The frames come from the settings table (settings.h), which says for each
// command where its setting travels: ring tone on/off, ring LED, backlight,
// audio output option and membrane LED carry it in rw, the others in value.
// For the rw group and for ring loudness and frequency the empty text
// converts to 0, so it sends the same frame as "0", which is also their
// default frame; the panel's reads are the texts that make the read frames.
// What is the catalogue's own is kept here: the "ff" reads, the step
// commands' refusal, the interval command, the EEPROM commands and the
// writes answered in byte 3.
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"
#include "settings.h"

using trn::SettingId;

namespace {

// Runs one exchange of frame and hands reply byte `from` back through refvar.
int command(unsigned char *refvar, const unsigned char *frame, int from = trn::FRAME_VALUE) {
  unsigned char reply[trn::FRAME_LEN];
  if (!trn::exchange_frame(frame, reply)) return 0;
  refvar[0] = reply[from];
  return 1;
}

int read_setting(unsigned char *refvar, SettingId id) {
  unsigned char frame[trn::FRAME_LEN];
  trn::read_request(trn::setting(id), frame);
  return command(refvar, frame);
}

int write_setting(unsigned char *refvar, SettingId id, unsigned char value,
                  int from = trn::FRAME_VALUE) {
  unsigned char frame[trn::FRAME_LEN];
  trn::write_request(trn::setting(id), value, frame);
  return command(refvar, frame, from);
}

unsigned char X(const unsigned char *refvar) {
  return str2hex(reinterpret_cast<const char *>(refvar));
}

// Writes X, the value text read as hexadecimal.
int write_x(unsigned char *refvar, SettingId id) { return write_setting(refvar, id, X(refvar)); }

// Only the exact text "ff" reads the setting; any other text is written.
int read_or_write(unsigned char *refvar, SettingId id) {
  if (strcmp(reinterpret_cast<const char *>(refvar), "ff") == 0) return read_setting(refvar, id);
  return write_x(refvar, id);
}

// Step commands: 0 steps down, 1 steps up, anything else sends nothing.
int step(unsigned char *refvar, SettingId id) {
  int n = atoi(reinterpret_cast<const char *>(refvar));
  if (n != 0 && n != 1) return 0;
  unsigned char frame[trn::FRAME_LEN];
  trn::step_request(trn::setting(id), n == 1, frame);
  return command(refvar, frame);
}

// Nurse-call LED and pass-through: a read answers in byte 4; a write is on
// for X == 1 and off otherwise, and answers with the new state in byte 3.
int on_off(unsigned char *refvar, int isRead, SettingId id) {
  if (isRead) return read_setting(refvar, id);
  return write_setting(refvar, id, X(refvar) == 0x01 ? 1 : 0, trn::FRAME_RW);
}

// Switch banks and the delay: isRead reads (the text is ignored), else the
// text is written.
int read_if(unsigned char *refvar, int isRead, SettingId id) {
  if (isRead) return read_setting(refvar, id);
  return write_x(refvar, id);
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

int RingToneTurn(unsigned char *refvar) { return write_x(refvar, SettingId::Ring); }
int RingToneVolume(unsigned char *refvar) { return write_x(refvar, SettingId::RingVolume); }
int RingToneFreq(unsigned char *refvar) { return write_x(refvar, SettingId::RingFreq); }
int RingToneLED(unsigned char *refvar) { return write_x(refvar, SettingId::RingLed); }
int BackLight(unsigned char *refvar) { return write_x(refvar, SettingId::Backlight); }
int AudioOutOption(unsigned char *refvar) { return write_x(refvar, SettingId::VolumeOutput); }
int MembraneLed(unsigned char *refvar) { return write_x(refvar, SettingId::Membrane); }

int VolumeValue(unsigned char *refvar) { return read_or_write(refvar, SettingId::Volume); }
int BrightnessValue(unsigned char *refvar) { return read_or_write(refvar, SettingId::Brightness); }

int VolumeDownUp(unsigned char *refvar) { return step(refvar, SettingId::Volume); }
int BrightnessDownUp(unsigned char *refvar) { return step(refvar, SettingId::Brightness); }

// Switch bank 1 holds the remote GPIO outputs, bank 2 the audio routing.
int Switch1Status(unsigned char *refvar, int isRead) {
  return read_if(refvar, isRead, SettingId::Gpio);
}
int Switch2Status(unsigned char *refvar, int isRead) {
  return read_if(refvar, isRead, SettingId::Audio);
}

int NurseCallLED(unsigned char *refvar, int isRead) {
  return on_off(refvar, isRead, SettingId::NurseLed);
}
int PwBtnPassThrough(unsigned char *refvar, int isRead) {
  return on_off(refvar, isRead, SettingId::PassThrough);
}

int PassThroughDelay(unsigned char *refvar, int isRead) {
  return read_if(refvar, isRead, SettingId::PassDelay);
}

// The type says only whether mode is given; the address byte goes out as rw
// unconverted.
int EEPROM(unsigned char *mode, unsigned char *address, unsigned char *refvar) {
  unsigned char frame[trn::FRAME_LEN];
  trn::build_frame(frame, mode ? trn::TYPE_EEPROM_F1 : trn::TYPE_EEPROM_F0, address[0], X(refvar));
  return command(refvar, frame);
}
