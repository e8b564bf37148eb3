// TRN board protocol: the 7-byte frame, reply validation, the command
// catalogue and the button status monitor.
//
// Every command takes its value as text in a caller-owned buffer (refvar),
// returns 1 on a valid reply and 0 otherwise, and on success overwrites the
// buffer's first byte with one reply byte.  On failure the buffer is untouched.
//
// The names at the top level are the panel's fixed names; the helpers beside
// them are the project's own, in namespace trn.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame_format.h"

// ---- Frame --------------------------------------------------------------
// The frame's length and lead-in are the line's (frame_format.h).

namespace trn {

// Frame types (byte 2).
enum FrameType : unsigned char {
  TYPE_IDENTIFIER = 0x00,
  TYPE_FW_VERSION = 0x01,
  TYPE_BUTTON_STATUS = 0x02,
  TYPE_RING_TONE = 0x03,
  TYPE_RING_LED = 0x04,
  TYPE_BACKLIGHT = 0x05,
  TYPE_VOLUME = 0x06,
  TYPE_BRIGHTNESS = 0x07,
  TYPE_AUDIO_OPTION = 0x08,
  TYPE_MEMBRANE_LED = 0x09,
  TYPE_SWITCH = 0x0A,
  TYPE_NURSE_LED = 0x0B,
  TYPE_PASS_THROUGH = 0x0C,
  TYPE_PASS_DELAY = 0x0D,
  TYPE_EEPROM_F0 = 0xF0,
  TYPE_EEPROM_F1 = 0xF1,
};

}  // namespace trn

// Low 8 bits of ESC + 'B' + type + rw + value.
unsigned char getcksum(unsigned char type, unsigned char rw, unsigned char value);
// 1 when byte 5 is the checksum of bytes 2..4 and byte 6 is CR.
int isOkCMD(const unsigned char *tmp);
// Text read as hexadecimal ("%x" rules), low 8 bits; 0 for text without a
// hexadecimal number.
unsigned char str2hex(const char *str);

namespace trn {

// Builds ESC 'B' type rw value checksum CR into frame[0..6].
void build_frame(unsigned char *frame, unsigned char type, unsigned char rw,
                 unsigned char value);
// One request/reply cycle: write, pause 100 ms, read, validate.  Returns 1
// when the reply (copied into reply[0..6]) is valid, else 0.  With the service
// not open it returns 0 right after the write, without waiting.  Frames the
// board sends besides the reply are traced after the exchange and handed to
// the button status path (see serial.h).
int exchange_frame(const unsigned char *frame, unsigned char *reply);
// Whether frame, read after command was written, is taken for its reply.  A
// type 0x02 frame is a button status frame, never the reply, except the
// interval command's echo: the type 0x02 frame whose bytes 3 and 4 are those
// of the interval command (type 0x02 itself).  A frame of any other type is
// the reply, whatever the command.
bool reply_for(const unsigned char *command, const unsigned char *frame);

// The fast exchange does not pause a fixed 100 ms: it reads the reply as
// soon as a whole frame has arrived, within the same 100 ms.  Frames, trace
// lines and failures are the same.  The mode is chosen once, at start-up:
// exchange_mode_from_environment() turns it on when TRN_FAST_EXCHANGE is 1.
bool fast_exchange();
void set_fast_exchange(bool on);
void exchange_mode_from_environment();

}  // namespace trn

// ---- Identification -------------------------------------------------------
int VXTRNDeviceIdentifier(unsigned char *major, unsigned char *minor);
int VXTRNVer(unsigned char *fw);

// ---- Command catalogue ------------------------------------------------------
int ButtonStatusIntervalTime(unsigned char *refvar);
int RingToneTurn(unsigned char *refvar);
int RingToneVolume(unsigned char *refvar);
int RingToneFreq(unsigned char *refvar);
int RingToneLED(unsigned char *refvar);
int BackLight(unsigned char *refvar);
int VolumeValue(unsigned char *refvar);
int VolumeDownUp(unsigned char *refvar);
int BrightnessValue(unsigned char *refvar);
int BrightnessDownUp(unsigned char *refvar);
int AudioOutOption(unsigned char *refvar);
int MembraneLed(unsigned char *refvar);
int Switch1Status(unsigned char *refvar, int isRead);
int Switch2Status(unsigned char *refvar, int isRead);
int NurseCallLED(unsigned char *refvar, int isRead);
int PwBtnPassThrough(unsigned char *refvar, int isRead);
int PassThroughDelay(unsigned char *refvar, int isRead);
int EEPROM(unsigned char *mode, unsigned char *address, unsigned char *refvar);

// ---- Button status monitor -------------------------------------------------
enum {
  CRADLE_STATUS = 0,
  VOLUME_DOWN_STATUS,
  VOLUME_UP_STATUS,
  LINE_OUT_STATUS,
  CHANNEL_DOWN_STATUS,
  CHANNEL_UP_STATUS,
  POWER_BUTTON,
  MIC_IN_STATUS,
  NURSE_STATUS,
  TOTAL_STATUS
};

// Last decoded status; each element holds its bit as masked out of the frame.
// Written only on the GUI thread by trn::decode_status.
extern unsigned char CRADLE_BUTTON[TOTAL_STATUS];

namespace trn {
// The monitor's receive buffer: four words or eight bytes.
union ReceiveBuffer {
  uint32_t l[4];
  unsigned char c[8];
};
}  // namespace trn

// Receive buffer of the monitor thread; c[7] stays 0.
extern trn::ReceiveBuffer u;

// Monitor thread body: waits on the port, reads through the port's one line
// (serial.h), traces each frame with "key ---> ", filters status frames and
// hands them to the GUI thread.  While it runs, the status frames that
// command exchanges meet take the same path.  Ends once the service is
// closed.
void *CradleButtonStatus(void *unused);

namespace trn {

// Fills CRADLE_BUTTON from the two status bytes (byte 3 = a, byte 4 = b).
void decode_status(unsigned char a, unsigned char b);

// Called on the GUI thread for every status frame, after decode_status, in
// the order the frames arrived.  The panel installs the handler that ticks
// its check boxes.
using StatusHandler = void (*)(unsigned char a, unsigned char b);
void set_status_handler(StatusHandler handler);

// Whether status frames are delivered to the GUI thread: from the monitor's
// start to its end.  Before it (start-up, an unidentified board) the frames
// an exchange meets are traced and dropped.
bool status_delivery();

}  // namespace trn
