// Command frames, reply validation and the request/reply cycle shared by
// every board command, with the two identification commands, and the
// assembly of whole frames from a byte stream.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"
#include "link.h"
#include "serial.h"

unsigned char getcksum(unsigned char type, unsigned char rw, unsigned char value) {
  return static_cast<unsigned char>(FRAME_ESC + FRAME_B + type + rw + value);
}

int isOkCMD(const unsigned char *tmp) {
  return tmp[5] == getcksum(tmp[2], tmp[3], tmp[4]) && tmp[6] == FRAME_CR ? 1 : 0;
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

bool fast_exchange() {
  const char *v = getenv("TRN_FAST_EXCHANGE");
  return v && strcmp(v, "1") == 0;
}

int exchange_frame(const unsigned char *seTmp, unsigned char *reply) {
  writeport(fd, seTmp);
  const auto written = trn::Clock::now();
  if (!ServiceState) {
    // Nothing to read from a port that is not open: give the port back so the
    // next exchange can start; isLOCK keeps its raised value.
    exchange_abandon();
    return 0;
  }
  unsigned char reTmp[FRAME_LEN] = {};
  if (fast_exchange()) {
    // Collect the reply as it arrives, up to the same 100 ms after the
    // write, then end the exchange as readport does.
    unsigned char got[FRAME_LEN];
    trn::CollectResult r =
        trn::collect_frame(fd, got, written + std::chrono::milliseconds(100), nullptr);
    memcpy(reTmp, got, static_cast<size_t>(r.have));
    const bool failed = r.what == trn::Collected::Closed && r.err != 0;
    readport_finish(fd, reTmp, failed ? -1 : r.have, r.err);
  } else {
    usleep(100000);  // give the board time to answer
    readport(fd, reTmp);
  }
  if (!isOkCMD(reTmp)) return 0;
  memcpy(reply, reTmp, FRAME_LEN);
  return 1;
}

int VXTRNDeviceIdentifier(unsigned char *major, unsigned char *minor) {
  unsigned char seTmp[FRAME_LEN], reply[FRAME_LEN];
  build_frame(seTmp, TYPE_IDENTIFIER, 0x00, 0x00);
  if (!exchange_frame(seTmp, reply)) return 0;
  *major = reply[3];
  *minor = reply[4];
  return 1;
}

int VXTRNVer(unsigned char *fw) {
  unsigned char seTmp[FRAME_LEN], reply[FRAME_LEN];
  build_frame(seTmp, TYPE_FW_VERSION, 0x00, 0x00);
  if (!exchange_frame(seTmp, reply)) return 0;
  *fw = reply[4];
  return 1;
}

int FrameAssembler::push(unsigned char byte, unsigned char *dropped) {
  if (have == 0) {
    if (byte == FRAME_ESC) {
      buf[have++] = byte;
      return 0;
    }
    dropped[0] = byte;
    return 1;
  }
  if (have == 1 && byte != FRAME_B) {
    // Not a lead-in after all; this byte may start the next one.
    dropped[0] = buf[0];
    if (byte == FRAME_ESC) return 1;
    dropped[1] = byte;
    have = 0;
    return 2;
  }
  buf[have++] = byte;
  if (have < FRAME_LEN || buf[FRAME_LEN - 1] == FRAME_CR) return 0;
  // Seven bytes without CR: a fresh lead-in inside them means a cut-off
  // piece ran into the next frame.
  for (int at = 1; at < FRAME_LEN; ++at) {
    const bool lead_in = at == FRAME_LEN - 1 ? buf[at] == FRAME_ESC
                                             : buf[at] == FRAME_ESC && buf[at + 1] == FRAME_B;
    if (!lead_in) continue;
    memcpy(dropped, buf, at);
    have = FRAME_LEN - at;
    memmove(buf, buf + at, have);
    return at;
  }
  return 0;  // no lead-in: handed on as a frame
}
