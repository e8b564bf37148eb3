// Configuration file reader: learns the serial port number from "./trn.ini"
// (key "COM=", port n is /dev/ttyS(n-1)) and chooses the device path.
#include "config.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char port_number[6] = {};
const char *const init_serial[1] = {"COM="};

void str_strip(char *buf) {
  size_t lead = 0;
  while (buf[lead] == ' ' || buf[lead] == '\t') lead++;
  if (lead) memmove(buf, buf + lead, strlen(buf + lead) + 1);
  size_t len = strlen(buf);
  while (len > 0 && (buf[len - 1] == ' ' || buf[len - 1] == '\t' || buf[len - 1] == '\r' ||
                     buf[len - 1] == '\n'))
    buf[--len] = '\0';
}

char *sub_string(char *buf, int len) { return buf + len; }

void parser_helper(char *result, const char *ch, const char *compare) {
  // Both buffers are 16 characters in this program; the copy never takes
  // more than the rest of ch.
  snprintf(result, 16, "%s", ch + strlen(compare));
  str_strip(result);
  for (char *p = result; *p; p++) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
}

namespace trn {

ConfigReport read_config() {
  ConfigReport report;
  FILE *fp_ini = fopen("./trn.ini", "r");
  if (!fp_ini) {
    report.open_error = errno;
    return report;
  }
  report.opened = true;
  char ch[16];
  char tmp[16];
  int keys = 0;
  for (;;) {
    memset(ch, 0, sizeof ch);
    // At most 15 characters: a whole short line, or the next piece of a long
    // one, which is then handled like a line of its own.
    if (!fgets(ch, sizeof ch, fp_ini)) {
      report.read_failed = ferror(fp_ini) != 0;
      break;
    }
    // Drop the chunk's last character (a line's line feed).  A chunk that
    // starts with a NUL byte has no last character to drop.
    size_t len = strlen(ch);
    if (len > 0) ch[len - 1] = '\0';
    if (!strstr(ch, init_serial[0])) {
      report.ignored++;
      continue;
    }
    parser_helper(tmp, ch, init_serial[0]);
    if (keys++ > 0) report.replaced++;
    memset(port_number, 0, sizeof port_number);
    memcpy(port_number, tmp, strnlen(tmp, sizeof port_number - 1));  // first 5 characters
    report.value = port_number;
  }
  fclose(fp_ini);
  return report;
}

std::string device_from_port_number() {
  int n = atoi(port_number) - 1;
  if (n < 0) {
    snprintf(port_number, sizeof port_number, "5");
    n = 4;
  }
  char path[32];
  snprintf(path, sizeof path, "/dev/ttyS%d", n);
  return path;
}

std::string device_from_environment(size_t max_length, bool *too_long) {
  *too_long = false;
  const char *device = getenv("TRN_DEVICE");
  if (!device || !*device) return "";
  if (strlen(device) > max_length) {
    *too_long = true;
    return "";
  }
  return device;
}

}  // namespace trn
