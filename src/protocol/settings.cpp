// The board's settings as named values: read and write requests and the
// conversion between reply bytes and words.  The read requests are the
// frames the panel's read-back sends; the write requests are the frames its
// controls send for the same value.
#include "settings.h"

#include <cstdio>
#include <cstring>

#include "VXTRN.h"

namespace trn {

namespace {

const Word kVolumeOutput[] = {{"int", 1}, {"jack", 2}, {"handset", 3}, {"remote", 4}, {"all", 5}};
const Word kOnOff[] = {{"off", 0}, {"on", 1}};
const Word kLowHigh[] = {{"low", 0}, {"high", 1}};
const Word kMembrane[] = {{"off", 0}, {"green", 1}, {"orange", 2}, {"on", 3}};

// The two step commands of a setting with steps.
constexpr uint8_t STEP_DOWN_RW = 0x02;
constexpr uint8_t STEP_UP_RW = 0x03;

template <size_t N>
constexpr int count(const Word (&)[N]) {
  return static_cast<int>(N);
}

// A number from lo to hi, written as the value byte.
Setting number(const char *name, uint8_t lo, uint8_t hi, uint8_t type, uint8_t read_rw,
               uint8_t read_value, uint8_t write_rw, bool steps = false) {
  return Setting{name, Kind::Number, lo, hi, nullptr, 0, false,
                 type, read_rw, read_value, write_rw, false, steps};
}

// One of the words, written in rw (value_in_rw) or as the value byte after
// write_rw.
template <size_t N>
Setting words(const char *name, const Word (&w)[N], uint8_t type, uint8_t read_rw,
              uint8_t read_value, uint8_t write_rw, bool value_in_rw) {
  return Setting{name, Kind::Words, 0, 0, w, count(w), false,
                 type, read_rw, read_value, write_rw, value_in_rw, false};
}

// A switch bank: its bits, written as the value byte after write_rw.
template <size_t N>
Setting mask(const char *name, const Word (&w)[N], bool numeric, uint8_t read_rw,
             uint8_t write_rw) {
  return Setting{name, Kind::Mask, 0, 0, w, count(w), numeric,
                 TYPE_SWITCH, read_rw, 0x00, write_rw, false, false};
}

bool all_digits(const std::string &t) {
  if (t.empty()) return false;
  for (char c : t)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

// In the order of SettingId.  The reads are the frames the panel's
// read-back sends; a read with value_in_rw is the write of its read_rw.
const std::vector<Setting> &settings() {
  static const std::vector<Setting> table = {
      number("volume", 0, 15, TYPE_VOLUME, 0x00, 0x00, 0x01, true),
      number("brightness", 0, 15, TYPE_BRIGHTNESS, 0x00, 0x00, 0x01, true),
      words("volume-output", kVolumeOutput, TYPE_AUDIO_OPTION, 0x00, 0x00, 0x00, true),
      words("ring", kOnOff, TYPE_RING_TONE, 0x02, 0x00, 0x00, true),
      words("ring-volume", kLowHigh, TYPE_RING_TONE, 0x03, 0x02, 0x03, false),
      number("ring-freq", 1, 6, TYPE_RING_TONE, 0x04, 0x00, 0x04),
      words("ring-led", kOnOff, TYPE_RING_LED, 0x02, 0x00, 0x00, true),
      words("membrane", kMembrane, TYPE_MEMBRANE_LED, 0x04, 0x00, 0x00, true),
      mask("gpio", GPIO_BITS, true, 0x00, 0x80),
      mask("audio", AUDIO_BITS, false, 0x01, 0x81),
      words("nurse-led", kOnOff, TYPE_NURSE_LED, 0x02, 0x00, 0x00, true),
      words("pass-through", kOnOff, TYPE_PASS_THROUGH, 0x02, 0x00, 0x00, true),
      number("pass-delay", 1, 10, TYPE_PASS_DELAY, 0x00, 0x00, 0x01),
  };
  return table;
}

const Setting &setting(SettingId id) {
  // Written only: it has no read request.
  static const Setting backlight =
      words("backlight", kOnOff, TYPE_BACKLIGHT, 0x00, 0x00, 0x00, true);
  if (id == SettingId::Backlight) return backlight;
  return settings()[static_cast<size_t>(id)];
}

const Setting *find_setting(const std::string &name) {
  for (const Setting &s : settings())
    if (name == s.name) return &s;
  return nullptr;
}

std::string setting_names() {
  std::string out;
  for (const Setting &s : settings()) {
    if (!out.empty()) out += ", ";
    out += s.name;
  }
  return out;
}

void read_request(const Setting &s, unsigned char frame[7]) {
  build_frame(frame, s.type, s.read_rw, s.read_value);
}

void write_request(const Setting &s, uint8_t value, unsigned char frame[7]) {
  if (s.value_in_rw)
    build_frame(frame, s.type, value, 0x00);
  else
    build_frame(frame, s.type, s.write_rw, value);
}

void step_request(const Setting &s, bool up, unsigned char frame[7]) {
  build_frame(frame, s.type, up ? STEP_UP_RW : STEP_DOWN_RW, 0x00);
}

bool reply_carries_rw(const unsigned char command[7]) {
  const uint8_t type = command[2], rw = command[3];
  if (type == TYPE_BACKLIGHT) return true;  // backlight_request: on or off in rw
  for (const Setting &s : settings()) {
    if (s.type != type) continue;
    if (rw == s.read_rw) return true;
    // A write carries its fixed selector in rw, or the value itself.
    if (s.value_in_rw ? word_for(s, rw) != nullptr : rw == s.write_rw) return true;
  }
  return false;
}

std::string valid_values(const Setting &s) {
  if (s.kind == Kind::Number) return std::to_string(s.min) + " to " + std::to_string(s.max);
  std::string out;
  for (int i = 0; i < s.word_count; ++i) {
    if (i) out += ", ";
    out += s.words[i].name;
  }
  if (s.kind == Kind::Mask) out = "a comma list of " + out + ", or none";
  return out;
}

bool parse_value(const Setting &s, const std::string &text, uint8_t *out, std::string *why) {
  auto refuse = [&] {
    if (why) *why = valid_values(s);
    return false;
  };
  switch (s.kind) {
    case Kind::Number: {
      // Decimal digits only: "0x5", "-1" and "+3" are refused, and a long
      // run of digits never overflows.
      if (!all_digits(text) || text.size() > 3) return refuse();
      int v = std::stoi(text);
      if (v < s.min || v > s.max) return refuse();
      *out = static_cast<uint8_t>(v);
      return true;
    }
    case Kind::Words:
      for (int i = 0; i < s.word_count; ++i) {
        if (text == s.words[i].name) {
          *out = s.words[i].value;
          return true;
        }
      }
      return refuse();
    case Kind::Mask: {
      if (text == "none") {
        *out = 0;
        return true;
      }
      uint8_t bits = 0;
      size_t start = 0;
      for (;;) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        bool found = false;
        for (int i = 0; i < s.word_count && !found; ++i) {
          if (item == s.words[i].name) {
            bits = static_cast<uint8_t>(bits | s.words[i].value);
            found = true;
          }
        }
        if (!found) return refuse();
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      *out = bits;
      return true;
    }
  }
  return refuse();
}

const char *word_for(const Setting &s, uint8_t byte) {
  if (s.kind != Kind::Words) return nullptr;
  for (int i = 0; i < s.word_count; ++i)
    if (s.words[i].value == byte) return s.words[i].name;
  return nullptr;
}

bool mask_words(const Setting &s, uint8_t byte, std::vector<const char *> *names) {
  names->clear();
  if (s.kind != Kind::Mask) return false;
  uint8_t known = 0;
  for (int i = 0; i < s.word_count; ++i) {
    known = static_cast<uint8_t>(known | s.words[i].value);
    if (byte & s.words[i].value) names->push_back(s.words[i].name);
  }
  if (byte & ~known) {
    names->clear();
    return false;
  }
  return true;
}

std::string format_value(const Setting &s, uint8_t byte) {
  if (s.kind == Kind::Words) {
    if (const char *w = word_for(s, byte)) return w;
  } else if (s.kind == Kind::Mask) {
    std::vector<const char *> names;
    if (mask_words(s, byte, &names)) {
      if (names.empty()) return "none";
      std::string out;
      for (const char *n : names) {
        if (!out.empty()) out += ",";
        out += n;
      }
      return out;
    }
  }
  return std::to_string(byte);
}

void identify_request(unsigned char frame[7]) { build_frame(frame, TYPE_IDENTIFIER, 0, 0); }
void firmware_request(unsigned char frame[7]) { build_frame(frame, TYPE_FW_VERSION, 0, 0); }

std::string model_text(uint8_t major, uint8_t minor) {
  char text[8];
  snprintf(text, sizeof text, "Q%x%x", major, minor);
  return text;
}

bool is_q742(uint8_t major, uint8_t minor) { return major == 0x07 && minor == 0x42; }

void backlight_request(bool on, unsigned char frame[7]) {
  write_request(setting(SettingId::Backlight), on ? 1 : 0, frame);
}

const std::vector<Input> &inputs() {
  static const std::vector<Input> table = {
      {"cradle", CRADLE_STATUS, true, 0x01, false},
      {"vol-down", VOLUME_DOWN_STATUS, false, 0x01, false},
      {"vol-up", VOLUME_UP_STATUS, false, 0x02, false},
      {"ch-down", CHANNEL_DOWN_STATUS, false, 0x04, false},
      {"ch-up", CHANNEL_UP_STATUS, false, 0x08, false},
      {"power", POWER_BUTTON, true, 0x02, false},
      {"line-out", LINE_OUT_STATUS, true, 0x40, true},
      {"mic-in", MIC_IN_STATUS, true, 0x80, true},
      {"nurse", NURSE_STATUS, true, 0x08, false},
  };
  return table;
}

bool input_active(const Input &in, uint8_t a, uint8_t b) { return ((in.in_a ? a : b) & in.mask) != 0; }

std::vector<const char *> active_inputs(uint8_t a, uint8_t b) {
  std::vector<const char *> out;
  for (const Input &in : inputs())
    if (input_active(in, a, b)) out.push_back(in.name);
  return out;
}

}  // namespace trn
