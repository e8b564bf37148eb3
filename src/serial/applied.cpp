// The line settings read back and compared with the request.
#include "applied.h"

#include <cstdio>

#include "serial.h"

namespace trn {

namespace {

// "9600" for a speed code of the table, else the code in hexadecimal.
std::string baud_text(speed_t code) {
  for (int i = 0; i < SPEED_ROWS; ++i)
    if (static_cast<speed_t>(speed_arr[i]) == code) return std::to_string(name_arr[i]);
  char text[24];
  snprintf(text, sizeof text, "code 0x%x", static_cast<unsigned>(code));
  return text;
}

std::string data_bits_text(tcflag_t csize) {
  switch (csize) {
    case CS5: return "5";
    case CS6: return "6";
    case CS7: return "7";
    default: return "8";
  }
}

std::string parity_text(tcflag_t cflag) {
  if (!(cflag & PARENB)) return "none";
  return cflag & PARODD ? "odd" : "even";
}

std::string hex(tcflag_t flags) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(flags));
  return text;
}

}  // namespace

std::string settings_not_applied(const struct termios &asked, speed_t speed,
                                 const struct termios &got, bool pty) {
  std::string out;
  auto add = [&out](const std::string &what) { out += (out.empty() ? "" : ", ") + what; };
  if (speed != 0 && (cfgetispeed(&got) != speed || cfgetospeed(&got) != speed))
    add("speed " + baud_text(speed) + " (read back: " + baud_text(cfgetispeed(&got)) + " in, " +
        baud_text(cfgetospeed(&got)) + " out)");
  if ((asked.c_cflag & CSIZE) != (got.c_cflag & CSIZE))
    add(data_bits_text(asked.c_cflag & CSIZE) + " data bits (read back: " +
        data_bits_text(got.c_cflag & CSIZE) + ")");
  // Odd or even matters only with parity on.
  const tcflag_t parity = asked.c_cflag & PARENB ? PARENB | PARODD : PARENB;
  if (!pty && (asked.c_cflag & parity) != (got.c_cflag & parity))
    add((asked.c_cflag & PARENB ? parity_text(asked.c_cflag) : "no") + " parity (read back: " +
        parity_text(got.c_cflag) + ")");
  if ((asked.c_iflag & INPCK) != (got.c_iflag & INPCK))
    add(std::string("input parity checking ") + (asked.c_iflag & INPCK ? "on" : "off") +
        " (INPCK)");
  if ((asked.c_cflag & CSTOPB) != (got.c_cflag & CSTOPB))
    add(std::string(asked.c_cflag & CSTOPB ? "2 stop bits" : "1 stop bit") + " (read back: " +
        (got.c_cflag & CSTOPB ? "2" : "1") + ")");
  if ((asked.c_iflag & ~INPCK) != (got.c_iflag & ~INPCK))
    add("raw input (input flags " + hex(asked.c_iflag) + ", read back " + hex(got.c_iflag) + ")");
  if (asked.c_oflag != got.c_oflag)
    add("raw output (output flags " + hex(asked.c_oflag) + ", read back " + hex(got.c_oflag) +
        ")");
  if (asked.c_lflag != got.c_lflag)
    add("raw mode (local flags " + hex(asked.c_lflag) + ", read back " + hex(got.c_lflag) + ")");
  if (asked.c_cc[VMIN] != got.c_cc[VMIN])
    add("VMIN " + std::to_string(asked.c_cc[VMIN]) + " (read back: " +
        std::to_string(got.c_cc[VMIN]) + ")");
  if (asked.c_cc[VTIME] != got.c_cc[VTIME])
    add("VTIME " + std::to_string(asked.c_cc[VTIME]) + " (read back: " +
        std::to_string(got.c_cc[VTIME]) + ")");
  return out;
}

}  // namespace trn
