// trnctl's output helpers.
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace trnctl {

namespace {
int first_output_error = 0;

void note_output_error() {
  if (first_output_error == 0) first_output_error = errno ? errno : EIO;
}
}  // namespace

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

std::string utc_text(const char *format, int days_back) {
  const time_t t = time(nullptr) - static_cast<time_t>(days_back) * 86400;
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[32];
  strftime(text, sizeof text, format, &tm);
  return text;
}

}  // namespace trnctl
