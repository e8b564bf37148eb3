#include "values.h"

#include <cstdio>
#include <vector>

namespace trn::station {

std::string hex_byte(uint8_t byte) {
  char text[3];
  snprintf(text, sizeof text, "%02x", byte);
  return text;
}

std::string hex_bytes(const unsigned char *bytes, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i) out += ' ';
    out += hex_byte(bytes[i]);
  }
  return out;
}

Json json_value(const trn::Setting &s, uint8_t byte) {
  switch (s.kind) {
    case trn::Kind::Number:
      return byte;
    case trn::Kind::Words:
      if (const char *w = trn::word_for(s, byte)) return w;
      return byte;
    case trn::Kind::Mask: {
      std::vector<const char *> names;
      if (!trn::mask_words(s, byte, &names)) return byte;
      Json list = Json::array();
      for (const char *n : names) {
        if (s.numeric_words)
          list.push_back(std::stoi(n));
        else
          list.push_back(n);
      }
      return list;
    }
  }
  return byte;
}

namespace {

bool word_value(const trn::Setting &s, const std::string &name, uint8_t *byte) {
  for (int i = 0; i < s.word_count; ++i)
    if (name == s.words[i].name) {
      *byte = s.words[i].value;
      return true;
    }
  return false;
}

}  // namespace

bool byte_of(const trn::Setting &s, const Json &value, uint8_t *byte) {
  if (value.is_number_unsigned() && value.get<unsigned>() <= 0xff) {
    *byte = static_cast<uint8_t>(value.get<unsigned>());
    return true;
  }
  if (value.is_string()) return s.kind == trn::Kind::Words && word_value(s, value, byte);
  if (!value.is_array() || s.kind != trn::Kind::Mask) return false;
  uint8_t mask = 0;
  for (const Json &w : value) {
    uint8_t bit = 0;
    const std::string name = w.is_string()           ? w.get<std::string>()
                             : w.is_number_unsigned() ? std::to_string(w.get<unsigned>())
                                                      : std::string();
    if (!word_value(s, name, &bit)) return false;
    mask |= bit;
  }
  *byte = mask;
  return true;
}

}  // namespace trn::station
