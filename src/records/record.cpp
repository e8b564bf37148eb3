#include "record.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace trn::records {

bool is_run_outcome(const std::string &o) {
  return o == kPass || o == kFail || o == kError || o == kAborted;
}

std::string new_run_id() {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("no random bytes for a run id");
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  snprintf(text, sizeof text,
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
           b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
           b[15]);
  return text;
}

std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
      1000);
  std::tm tm = {};
  gmtime_r(&t, &tm);
  char day[32], text[40];
  strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(text, sizeof text, "%s.%03ldZ", day, ms);
  return text;
}

}  // namespace trn::records
