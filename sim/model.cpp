// The simulated board's model: its answers to command frames, as a table.
#include "model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace trnsim {

namespace {

uint8_t checksum(uint8_t t, uint8_t rw, uint8_t value) {
  return static_cast<uint8_t>(kEsc + kLetter + t + rw + value);
}

// What a rule does with the setting it answers for.
enum class Op {
  Read,      // nothing: the answer is the setting as it is
  Store,     // takes the value byte as given
  Limit,     // takes the value byte, brought into lo..hi
  TakeRw,    // takes the rw byte (it is the setting), brought into lo..hi
  StepDown,  // one less, not below lo
  StepUp,    // one more, not above hi
};

// One operation of one type: the rw bytes from rw_from to rw_to.  The
// answer is type, rw, the setting; for the on/off writes of the nurse-call
// LED and the pass-through it is type, the new state, 0 (the client reads
// that byte back).  A value byte equal to reads_at makes it a read.
struct Rule {
  uint8_t type;
  uint8_t rw_from, rw_to;
  uint8_t Settings::*setting;
  Op op;
  uint8_t lo = 0, hi = 0xFF;
  int reads_at = -1;
  bool state_in_rw = false;
};

using namespace type;
using S = Settings;

const Rule kRules[] = {
    {kStatus, 0x01, 0x01, &S::interval, Op::Store},  // the button status interval
    {kRingTone, 0x00, 0x01, &S::ring_on, Op::TakeRw},
    {kRingTone, 0x02, 0x02, &S::ring_on, Op::Read},
    {kRingTone, 0x03, 0x03, &S::ring_volume, Op::Limit, 0, 1, 0x02},  // value 2 reads
    {kRingTone, 0x04, 0x04, &S::ring_freq, Op::Limit, 1, 6, 0x00},    // value 0 reads
    {kRingLed, 0x00, 0x01, &S::ring_led, Op::TakeRw},
    {kRingLed, 0x02, 0x02, &S::ring_led, Op::Read},
    {kBacklight, 0x00, 0xFF, &S::backlight, Op::TakeRw, 0, 1},  // any rw but 0 is on
    {kVolume, 0x00, 0x00, &S::volume, Op::Read},
    {kVolume, 0x01, 0x01, &S::volume, Op::Limit, 0, 15},
    {kVolume, 0x02, 0x02, &S::volume, Op::StepDown, 0, 15},
    {kVolume, 0x03, 0x03, &S::volume, Op::StepUp, 0, 15},
    {kBrightness, 0x00, 0x00, &S::brightness, Op::Read},
    {kBrightness, 0x01, 0x01, &S::brightness, Op::Limit, 0, 15},
    {kBrightness, 0x02, 0x02, &S::brightness, Op::StepDown, 0, 15},
    {kBrightness, 0x03, 0x03, &S::brightness, Op::StepUp, 0, 15},
    {kAudioOption, 0x00, 0x00, &S::audio_option, Op::Read},
    {kAudioOption, 0x01, 0x05, &S::audio_option, Op::TakeRw},
    {kMembrane, 0x00, 0x03, &S::membrane, Op::TakeRw},
    {kMembrane, 0x04, 0x04, &S::membrane, Op::Read},
    {kSwitch, 0x00, 0x00, &S::switch1, Op::Read},
    {kSwitch, 0x01, 0x01, &S::switch2, Op::Read},
    {kSwitch, 0x80, 0x80, &S::switch1, Op::Store},
    {kSwitch, 0x81, 0x81, &S::switch2, Op::Store},
    {kNurseLed, 0x00, 0x01, &S::nurse_led, Op::TakeRw, 0, 1, -1, true},
    {kNurseLed, 0x02, 0x02, &S::nurse_led, Op::Read},
    {kPassThrough, 0x00, 0x01, &S::pass_through, Op::TakeRw, 0, 1, -1, true},
    {kPassThrough, 0x02, 0x02, &S::pass_through, Op::Read},
    {kPassDelay, 0x00, 0x00, &S::pass_delay, Op::Read},
    {kPassDelay, 0x01, 0x01, &S::pass_delay, Op::Limit, 1, 10},
};

uint8_t clamp(uint8_t x, uint8_t lo, uint8_t hi) { return std::min(std::max(x, lo), hi); }

void apply(const Rule &r, uint8_t rw, uint8_t v, uint8_t *x) {
  switch (r.op) {
    case Op::Read: break;
    case Op::Store: *x = v; break;
    case Op::Limit: *x = clamp(v, r.lo, r.hi); break;
    case Op::TakeRw: *x = clamp(rw, r.lo, r.hi); break;
    case Op::StepDown: if (*x > r.lo) --*x; break;
    case Op::StepUp: if (*x < r.hi) ++*x; break;
  }
}

// Which status byte and bit an input drives.
void input_bit(Input in, bool *byte_a, uint8_t *mask) {
  switch (in) {
    case Input::Cradle:    *byte_a = true;  *mask = 0x01; return;
    case Input::Power:     *byte_a = true;  *mask = 0x02; return;
    case Input::NurseCall: *byte_a = true;  *mask = 0x08; return;
    case Input::LineOut:   *byte_a = true;  *mask = 0x40; return;
    case Input::MicIn:     *byte_a = true;  *mask = 0x80; return;
    case Input::VolDown:   *byte_a = false; *mask = 0x01; return;
    case Input::VolUp:     *byte_a = false; *mask = 0x02; return;
    case Input::ChDown:    *byte_a = false; *mask = 0x04; return;
    case Input::ChUp:      *byte_a = false; *mask = 0x08; return;
  }
  *byte_a = true;
  *mask = 0;
}

}  // namespace

Frame respond(Settings &s, const Frame &c) {
  if (!frame_ok(c)) return {};
  const uint8_t t = c[2], rw = c[3], v = c[4];
  // What the board tells about itself, whatever rw says, and the EEPROM.
  switch (t) {
    case kIdentify: return make_frame(t, s.major, s.minor);
    case kFirmware: return make_frame(t, 0x00, s.firmware);
    case kEepromF0:
    case kEepromF1: {
      uint8_t &cell = s.eeprom[t & 1][rw];
      cell = v;
      return make_frame(t, rw, cell);
    }
    default: break;
  }
  for (const Rule &r : kRules) {
    if (r.type != t || rw < r.rw_from || rw > r.rw_to) continue;
    uint8_t &x = s.*r.setting;
    if (r.reads_at < 0 || v != r.reads_at) apply(r, rw, v, &x);
    return r.state_in_rw ? make_frame(t, x, 0x00) : make_frame(t, rw, x);
  }
  return {};
}

void set_input(Input in, bool pressed, uint8_t *a, uint8_t *b) {
  bool in_a;
  uint8_t mask;
  input_bit(in, &in_a, &mask);
  uint8_t &status = in_a ? *a : *b;
  status = pressed ? static_cast<uint8_t>(status | mask) : static_cast<uint8_t>(status & ~mask);
}

Frame status_frame(uint8_t a, uint8_t b) { return make_frame(kStatus, a, b); }

Frame make_frame(uint8_t t, uint8_t rw, uint8_t value) {
  return Frame{kEsc, kLetter, t, rw, value, checksum(t, rw, value), kCr};
}

bool frame_ok(const Frame &f) {
  return f.size() == kFrameLen && f[0] == kEsc && f[1] == kLetter &&
         f[5] == checksum(f[2], f[3], f[4]) && f[6] == kCr;
}

std::string hex(const Frame &bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    out += b;
  }
  return out;
}

// Lenient: case, '-', '_' and blanks do not matter ("Vol_Down", "voldown").
bool parse_input(const std::string &name, Input *out) {
  std::string key;
  for (char c : name) {
    if (c == '-' || c == '_' || std::isspace(static_cast<unsigned char>(c))) continue;
    key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  static const struct {
    const char *key;
    Input in;
  } names[] = {
      {"cradle", Input::Cradle},      {"voldown", Input::VolDown},
      {"volumedown", Input::VolDown}, {"volup", Input::VolUp},
      {"volumeup", Input::VolUp},     {"chdown", Input::ChDown},
      {"channeldown", Input::ChDown}, {"chup", Input::ChUp},
      {"channelup", Input::ChUp},     {"power", Input::Power},
      {"nurse", Input::NurseCall},    {"nursecall", Input::NurseCall},
      {"lineout", Input::LineOut},    {"micin", Input::MicIn},
  };
  for (const auto &n : names) {
    if (key == n.key) {
      if (out) *out = n.in;
      return true;
    }
  }
  return false;
}

const char *input_name(Input in) {
  switch (in) {
    case Input::Cradle: return "cradle";
    case Input::VolDown: return "vol-down";
    case Input::VolUp: return "vol-up";
    case Input::ChDown: return "ch-down";
    case Input::ChUp: return "ch-up";
    case Input::Power: return "power";
    case Input::NurseCall: return "nurse";
    case Input::LineOut: return "line-out";
    case Input::MicIn: return "mic-in";
  }
  return "?";
}

}  // namespace trnsim
