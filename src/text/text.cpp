#include "text.h"

#include <cstdio>

namespace trn {

size_t utf8_sequence(std::string_view text, char32_t *cp) {
  if (text.empty()) return 0;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t len;
  char32_t value, min;
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, value = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, value = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, value = lead & 0x07, min = 0x10000;
  } else {
    return 0;  // a continuation byte, or 0xF8..0xFF
  }
  if (text.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

std::string terminal_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char esc[16];
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const size_t len = utf8_sequence(text.substr(i), &cp);
    if (len == 0) {
      snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += esc;
      ++i;
      continue;
    }
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
      snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(cp));
      out += esc;
    } else if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
      snprintf(esc, sizeof esc, "\\u{%04x}", static_cast<unsigned>(cp));
      out += esc;
    } else if (cp == '\\') {
      out += "\\\\";
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  return out;
}

}  // namespace trn
