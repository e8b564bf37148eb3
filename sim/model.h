// The simulated board's model: what the TRN board holds and how it answers a
// command frame, with no line, no thread and no time.  Its frame types,
// checksum and status bits are written here from the board's side, apart
// from the client's own (src/protocol/), so that the simulated board checks
// the client rather than repeating it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trnsim {

using Frame = std::vector<uint8_t>;  // 7 bytes for whole frames

constexpr size_t kFrameLen = 7;
constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kLetter = 0x42;  // 'B'
constexpr uint8_t kCr = 0x0D;

// The board's frame types (byte 2).
namespace type {
constexpr uint8_t kIdentify = 0x00;
constexpr uint8_t kFirmware = 0x01;
constexpr uint8_t kStatus = 0x02;  // button status frames, and the interval command
constexpr uint8_t kRingTone = 0x03;
constexpr uint8_t kRingLed = 0x04;
constexpr uint8_t kBacklight = 0x05;
constexpr uint8_t kVolume = 0x06;
constexpr uint8_t kBrightness = 0x07;
constexpr uint8_t kAudioOption = 0x08;
constexpr uint8_t kMembrane = 0x09;
constexpr uint8_t kSwitch = 0x0A;
constexpr uint8_t kNurseLed = 0x0B;
constexpr uint8_t kPassThrough = 0x0C;
constexpr uint8_t kPassDelay = 0x0D;
constexpr uint8_t kEepromF0 = 0xF0;
constexpr uint8_t kEepromF1 = 0xF1;
}  // namespace type

// Every setting the board holds, with its power-on value.
struct Settings {
  uint8_t major = 0x07;         // identifier byte 3
  uint8_t minor = 0x42;         // identifier byte 4
  uint8_t firmware = 0x11;      // firmware version byte
  uint8_t ring_on = 1;          // 0 off, 1 on
  uint8_t ring_volume = 0;      // 0 low, 1 high
  uint8_t ring_freq = 1;        // 1..6
  uint8_t ring_led = 0;         // 0 off, 1 on
  uint8_t backlight = 1;        // 0 off, 1 on
  uint8_t volume = 8;           // 0..15
  uint8_t brightness = 8;       // 0..15
  uint8_t audio_option = 1;     // 1..5
  uint8_t membrane = 1;         // 0 all off, 1 green, 2 orange, 3 all on
  uint8_t switch1 = 0;          // remote GPIO mask (bits 2..0)
  uint8_t switch2 = 0;          // audio routing mask
  uint8_t nurse_led = 0;        // 0 off, 1 on
  uint8_t pass_through = 0;     // 0 off, 1 on
  uint8_t pass_delay = 3;       // seconds, 1..10
  uint8_t interval = 0;         // button status interval code
  uint8_t eeprom[2][256] = {};  // [type F0/F1][address]
};

// The board's answer to a command frame; empty when it gives none.  Updates
// the settings as the command says.  A frame with a wrong lead-in, checksum
// or terminator, an unknown type or an unknown operation of a known type
// gets no answer and changes nothing; written values outside a setting's
// range are brought into it.
Frame respond(Settings &s, const Frame &command);

// Named terminal inputs for status frames.
enum class Input { Cradle, VolDown, VolUp, ChDown, ChUp, Power, NurseCall, LineOut, MicIn };

// Parses names like "cradle", "vol-down", "nurse", "line-out", "mic-in".
bool parse_input(const std::string &name, Input *out);
const char *input_name(Input in);

// The status bytes with one input pressed (or plugged) or released.
void set_input(Input in, bool pressed, uint8_t *a, uint8_t *b);
// The status frame of the two status bytes.
Frame status_frame(uint8_t a, uint8_t b);

// A frame with a correct checksum.
Frame make_frame(uint8_t type, uint8_t rw, uint8_t value);
// A well-formed frame: lead-in, checksum and terminator all right.
bool frame_ok(const Frame &f);
std::string hex(const Frame &bytes);  // "1b 42 06 ..."

}  // namespace trnsim
