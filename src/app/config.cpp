// Configuration file reader: learns the serial port number from "./trn.ini"
// (key "COM=", port n is /dev/ttyS(n-1)) and chooses the device path.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"

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

void read_config() {
  FILE *fp_ini = fopen("./trn.ini", "r");
  if (!fp_ini) {
    puts("****** Serial Initial File No Detected ! ******\n"
         "****** Default [9600-E:8:1] & /dev/ttyS4 ******\n");
    return;
  }
  char ch[16];
  char tmp[16];
  for (;;) {
    memset(ch, 0, sizeof ch);
    // At most 15 characters: a whole short line, or the next piece of a long
    // one, which is then handled like a line of its own.
    if (!fgets(ch, sizeof ch, fp_ini)) break;
    // Drop the chunk's last character (a line's line feed).  A chunk that
    // starts with a NUL byte has no last character to drop.
    size_t len = strlen(ch);
    if (len > 0) ch[len - 1] = '\0';
    if (strstr(ch, init_serial[0])) {
      parser_helper(tmp, ch, init_serial[0]);
      memset(port_number, 0, sizeof port_number);
      memcpy(port_number, tmp, strnlen(tmp, sizeof port_number - 1));  // first 5 characters
    }
  }
  fclose(fp_ini);
}

void choose_device(char *ttyS_now, size_t size) {
  int n = atoi(port_number) - 1;
  if (n < 0) {
    snprintf(port_number, sizeof port_number, "5");
    n = 4;
  }
  snprintf(ttyS_now, size, "/dev/ttyS%d", n);
  // TRN_DEVICE names a device that COM=n cannot (a USB adapter, or the
  // simulated board's pseudo-terminal).
  const char *device = getenv("TRN_DEVICE");
  if (!device || !*device) return;
  if (strlen(device) >= size) {
    // Cutting it would name some other device.
    fprintf(stderr, "TRN_DEVICE ignored: longer than %zu characters (use a shorter link to it)\n",
            size - 1);
    return;
  }
  snprintf(ttyS_now, size, "%s", device);
}
