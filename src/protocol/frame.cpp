// Command frames, reply validation and the request/reply cycle shared by
// every board command, with the two identification commands.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"
#include "serial.h"
#include "settings.h"

unsigned char getcksum(unsigned char type, unsigned char rw, unsigned char value) {
  return static_cast<unsigned char>(trn::FRAME_ESC + trn::FRAME_B + type + rw + value);
}

int isOkCMD(const unsigned char *tmp) {
  return tmp[5] == getcksum(tmp[2], tmp[3], tmp[4]) && tmp[6] == trn::FRAME_CR ? 1 : 0;
}

// Reads the text as scanf's "%x" does (white space, sign, 0x prefix, hex
// digits) and keeps the low 8 bits, which only the last two digits decide.
// Text without a hexadecimal number gives 0.
unsigned char str2hex(const char *str) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(str);
  while (isspace(*p)) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(p[2])) p += 2;
  unsigned value = 0;
  for (; isxdigit(*p); p++) {
    unsigned digit = isdigit(*p) ? *p - '0' : (tolower(*p) - 'a' + 10);
    value = ((value << 4) | digit) & 0xFFu;
  }
  if (negative) value = (0u - value) & 0xFFu;
  return static_cast<unsigned char>(value);
}

namespace trn {

void build_frame(unsigned char *frame, unsigned char type, unsigned char rw,
                 unsigned char value) {
  frame[0] = FRAME_ESC;
  frame[1] = FRAME_B;
  frame[2] = type;
  frame[3] = rw;
  frame[4] = value;
  frame[5] = getcksum(type, rw, value);
  frame[6] = FRAME_CR;
}

namespace {
std::atomic<bool> fast_mode{false};
}  // namespace

bool fast_exchange() { return fast_mode.load(); }

void set_fast_exchange(bool on) { fast_mode = on; }

void exchange_mode_from_environment() {
  const char *v = getenv("TRN_FAST_EXCHANGE");
  set_fast_exchange(v && strcmp(v, "1") == 0);
}

bool reply_for(const unsigned char *command, const unsigned char *frame) {
  if (frame[2] != TYPE_BUTTON_STATUS) return true;
  // The interval command is echoed as 02 rw value; a status frame carries
  // the button bits there, which match both bytes only by chance.
  return command[2] == TYPE_BUTTON_STATUS && frame[3] == command[3] && frame[4] == command[4];
}

int exchange_frame(const unsigned char *seTmp, unsigned char *reply) {
  ExchangeLock exchange(reply_for);
  writeport(fd, seTmp);
  const auto written = Clock::now();
  // Nothing to read from a port that is not open: the lock goes with the
  // guard, so the next exchange can start; isLOCK keeps its raised value.
  if (!ServiceState) return 0;
  unsigned char reTmp[FRAME_LEN] = {};
  if (fast_exchange()) {
    // Read the reply as it arrives, up to the same 100 ms after the write.
    readport_until(fd, reTmp, written + std::chrono::milliseconds(100));
  } else {
    usleep(100000);  // give the board time to answer
    readport(fd, reTmp);
  }
  if (!isOkCMD(reTmp)) return 0;
  memcpy(reply, reTmp, FRAME_LEN);
  return 1;
}

}  // namespace trn

int VXTRNDeviceIdentifier(unsigned char *major, unsigned char *minor) {
  unsigned char seTmp[trn::FRAME_LEN], reply[trn::FRAME_LEN];
  trn::identify_request(seTmp);
  if (!trn::exchange_frame(seTmp, reply)) return 0;
  *major = reply[trn::FRAME_RW];
  *minor = reply[trn::FRAME_VALUE];
  return 1;
}

int VXTRNVer(unsigned char *fw) {
  unsigned char seTmp[trn::FRAME_LEN], reply[trn::FRAME_LEN];
  trn::firmware_request(seTmp);
  if (!trn::exchange_frame(seTmp, reply)) return 0;
  *fw = reply[trn::FRAME_VALUE];
  return 1;
}
