// The board's settings as named values, without any widget: for each one
// the request that reads it (the same frame the panel's read-back sends),
// the request that writes it, and the conversion between the reply byte and
// the words a person or a script uses ("volume=12", "ring=on",
// "audio=int-line-out,jack-mic-in").  Also the identification requests and
// the terminal's inputs in a button status frame.
//
// This is the one place where the commands' encodings, the switch banks'
// bits, the status bits and the expected board are written down: the
// panel's command catalogue, its tables and the status decode use it, and
// so does trnctl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_format.h"

namespace trn {

enum class Kind {
  Number,  // a number from min to max
  Words,   // one word from words[] (value = the byte)
  Mask,    // a comma list of words[] (value = the word's bit), or "none"
};

struct Word {
  const char *name;
  uint8_t value;
};

// The bits of the two switch banks.  Bank 1: the remote GPIO outputs.
inline constexpr Word GPIO_BITS[] = {{"0", 0x01}, {"1", 0x02}, {"2", 0x04}};
// Bank 2: the audio routing.  The bits are not in bit order; this is the
// order of the panel's boxes.
inline constexpr Word AUDIO_BITS[] = {
    {"int-line-out", 0x02},    {"jack-line-out", 0x08}, {"handset-line-out", 0x80},
    {"remote-line-out", 0x20}, {"int-mic-in", 0x01},    {"jack-mic-in", 0x04},
    {"handset-mic-in", 0x40},  {"remote-mic-in", 0x10},
};

struct Setting {
  const char *name;
  Kind kind;
  uint8_t min, max;         // Number: the valid range
  const Word *words;        // Words, Mask: the vocabulary, in print order
  int word_count;
  bool numeric_words;       // the words are numbers ("0", "1", "2")
  uint8_t type;             // the frame type of both requests
  uint8_t read_rw, read_value;  // the read request
  uint8_t write_rw;         // the write request ...
  bool value_in_rw;         // ... carries the value in rw (else in value)
  bool steps;               // rw 0x02 steps the number down by one, 0x03 up
};

// The thirteen settings, in the order `get` reads them.
const std::vector<Setting> &settings();

// Every command of the table by name: the thirteen settings in their order,
// and the backlight, which is written only.
enum class SettingId {
  Volume, Brightness, VolumeOutput, Ring, RingVolume, RingFreq, RingLed,
  Membrane, Gpio, Audio, NurseLed, PassThrough, PassDelay, Backlight,
};
const Setting &setting(SettingId id);
// nullptr for a name that is no setting.
const Setting *find_setting(const std::string &name);
// "volume, brightness, ..." for messages.
std::string setting_names();

// The 7-byte request frames.
void read_request(const Setting &s, unsigned char frame[7]);
void write_request(const Setting &s, uint8_t value, unsigned char frame[7]);
// One step down or up (a setting with steps).
void step_request(const Setting &s, bool up, unsigned char frame[7]);
// The setting's byte in a reply to either request (byte 4 of a read reply).
inline uint8_t reply_value(const unsigned char reply[7]) { return reply[FRAME_VALUE]; }
// True when the board's reply to command carries the command's byte 3 (rw)
// back in its own byte 3: the read and write requests of every setting above
// and the backlight command.  For these a reply is told from the reply to
// another request of its type (ring, ring-volume and ring-freq share one) by
// byte 3.  False for the identification requests (byte 3 of the identifier's
// reply is the major byte) and for frames the table does not build.
bool reply_carries_rw(const unsigned char command[7]);

// Text to byte: exactly the setting's vocabulary (decimal digits only for
// numbers, no sign or prefix).  On failure *why says what is valid.
bool parse_value(const Setting &s, const std::string &text, uint8_t *out, std::string *why);
// What the valid values are, for messages: "0 to 15", "off, green, orange, on".
std::string valid_values(const Setting &s);

// Byte to text: the word, the number, the comma list ("none" for an empty
// mask).  A byte outside the vocabulary is given as its decimal number.
std::string format_value(const Setting &s, uint8_t byte);
// The word for a byte, or nullptr when the byte has none (Words only).
const char *word_for(const Setting &s, uint8_t byte);
// The words of the bits set in byte, in print order; false when the byte has
// bits outside the vocabulary (Mask only).
bool mask_words(const Setting &s, uint8_t byte, std::vector<const char *> *names);

// Identification: the identifier request (reply bytes 3 and 4: major and
// minor) and the firmware request (reply byte 4).
void identify_request(unsigned char frame[7]);
void firmware_request(unsigned char frame[7]);
// "Q" + major and minor in hexadecimal, as the panel shows it: "Q742".
std::string model_text(uint8_t major, uint8_t minor);
// The expected board: major 0x07, minor 0x42.
bool is_q742(uint8_t major, uint8_t minor);

// The backlight command with on (1) or off (0).
void backlight_request(bool on, unsigned char frame[7]);

// The terminal's inputs in a button status frame (byte 3 = a, byte 4 = b),
// in the order the panel decodes them.
struct Input {
  const char *name;  // "cradle", "vol-down", ..., "nurse"
  int element;       // its place in CRADLE_BUTTON (VXTRN.h)
  bool in_a;         // bit of byte 3 (else byte 4)
  uint8_t mask;
  bool jack;         // plugged rather than pressed
};
const std::vector<Input> &inputs();
bool input_active(const Input &in, uint8_t a, uint8_t b);
// Names of the active inputs, in the list's order.
std::vector<const char *> active_inputs(uint8_t a, uint8_t b);

}  // namespace trn
