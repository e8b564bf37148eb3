// Fuzz target for the value text helpers: any text as a value buffer.
//
// The input, cut at its first NUL, is the text.  Checked:
//   - str2hex against two readings of its own: the last two hexadecimal
//     digits of the number after white space, sign and 0x prefix, negated
//     modulo 256 for a minus sign (0 without digits), and strtoul's reading
//     kept to its low 8 bits while the digits cannot overflow;
//   - not_valid is 0 exactly for "0" to "15";
//   - hex_to_int gives 10..15 for exactly "a".."f", and the decimal reading
//     (atoi) of any other text;
//   - get_hex gives "a".."f" for 10..15 and nothing for any other number;
//   - for every board setting, text that parse_value takes gives a byte
//     (within min..max for a number) whose format_value text reads back as
//     the same byte, and text it refuses gets a reason; format_value of the
//     input's last byte reads back as that byte when the byte has a name (a
//     number in range, a word, a mask of known bits), else it is the byte's
//     decimal number.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VXTRN.h"
#include "panel.h"
#include "settings.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Low 8 bits of the hexadecimal number at the start of s; digits tells how
// many digits it has (0: no number).
unsigned reference_hex(const std::string &s, size_t &digits) {
  size_t i = 0;
  while (i < s.size() && c_space(s[i])) i++;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i + 2 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
      hex_digit(s[i + 2]) >= 0)
    i += 2;
  size_t end = i;
  while (end < s.size() && hex_digit(s[end]) >= 0) end++;
  digits = end - i;
  // Only the last two digits reach the low 8 bits.
  unsigned value = 0;
  if (digits >= 1) value = hex_digit(s[end - 1]);
  if (digits >= 2) value += 16 * hex_digit(s[end - 2]);
  return negative ? (256 - value) % 256 : value;
}

const char *const small_numbers[] = {"0", "1", "2",  "3",  "4",  "5",  "6",  "7",
                                     "8", "9", "10", "11", "12", "13", "14", "15"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The text in a heap buffer of its exact size, so reading past its
  // terminator is caught.
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));
  char *buf = new char[text.size() + 1];
  memcpy(buf, text.c_str(), text.size() + 1);

  // str2hex
  size_t digits = 0;
  const unsigned expected = reference_hex(text, digits);
  const unsigned got = str2hex(buf);
  check(got == expected);
  if (digits <= 15) {
    char *end = nullptr;
    const unsigned long wide = strtoul(buf, &end, 16);
    check(got == (wide & 0xFFu));
  }

  // not_valid
  bool small = false;
  for (const char *s : small_numbers) small = small || text == s;
  check(not_valid(buf) == (small ? 0 : 1));

  // hex_to_int
  const int h = hex_to_int(buf);
  if (text.size() == 1 && text[0] >= 'a' && text[0] <= 'f') {
    check(h == text[0] - 'a' + 10);
  } else {
    // atoi's result is only defined when the number fits an int.
    errno = 0;
    const long wide = strtol(buf, nullptr, 10);
    if (errno == 0 && wide >= INT_MIN && wide <= INT_MAX) check(h == static_cast<int>(wide));
  }

  // get_hex, with a number made from the first bytes of the input
  int num = 0;
  if (size >= 4) memcpy(&num, data, sizeof num);
  else if (size) num = data[0] - 64;
  const char *hex = get_hex(num);
  if (num >= 10 && num <= 15) {
    check(hex != nullptr && hex[0] == 'a' + (num - 10) && hex[1] == '\0');
  } else {
    check(hex == nullptr);
  }

  // The settings' text conversions.
  const uint8_t byte = size ? data[size - 1] : 0;
  for (const trn::Setting &s : trn::settings()) {
    uint8_t value = 0, back = 0;
    std::string why;
    if (trn::parse_value(s, text, &value, &why)) {
      if (s.kind == trn::Kind::Number) check(value >= s.min && value <= s.max);
      check(trn::parse_value(s, trn::format_value(s, value), &back, nullptr) && back == value);
    } else {
      check(!why.empty());
    }

    const std::string shown = trn::format_value(s, byte);
    std::vector<const char *> names;
    const bool named = s.kind == trn::Kind::Number ? byte >= s.min && byte <= s.max
                       : s.kind == trn::Kind::Words ? trn::word_for(s, byte) != nullptr
                                                    : trn::mask_words(s, byte, &names);
    if (named)
      check(trn::parse_value(s, shown, &back, nullptr) && back == byte);
    else
      check(shown == std::to_string(byte));
  }

  delete[] buf;
  return 0;
}
