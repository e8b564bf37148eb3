// trnctl's output helpers.
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <vector>

namespace trnctl {

namespace {
int first_output_error = 0;

void note_output_error() {
  if (first_output_error == 0) first_output_error = errno ? errno : EIO;
}
}  // namespace

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

void print_line(const std::string &line) {
  if (first_output_error) return;
  if (fputs(line.c_str(), stdout) == EOF || fputc('\n', stdout) == EOF) note_output_error();
}

int output_error() {
  if (first_output_error == 0 && (fflush(stdout) != 0 || ferror(stdout))) note_output_error();
  return first_output_error;
}

std::string json_text(const Json &value, int indent) {
  // Bytes that are not UTF-8 (a --dut id, a device name) become U+FFFD
  // instead of ending the program.
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

void print_json(const Json &value) { print_line(json_text(value)); }

}  // namespace trnctl
