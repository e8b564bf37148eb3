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

}  // namespace trn::station
