// The line settings read back: what a driver did not apply is named, field
// by field; what was not asked for is not compared.
#include <gtest/gtest.h>
#include <termios.h>

#include <functional>
#include <string>

#include "applied.h"

namespace {

// The attributes the set-up hands to tcsetattr for 9600 8E1, raw.
termios asked_8e1() {
  termios t{};
  t.c_cflag = CS8 | PARENB | CLOCAL | HUPCL | CREAD;
  cfsetispeed(&t, B9600);  // the speed is kept in c_cflag
  cfsetospeed(&t, B9600);
  t.c_iflag = INPCK;
  t.c_oflag = 0;
  t.c_lflag = FLUSHO;
  t.c_cc[VTIME] = 1;
  t.c_cc[VMIN] = 0;
  return t;
}

TEST(SettingsRead, WhatTheDriverDidNotApplyIsNamed) {
  struct Case {
    const char *what;
    std::function<void(termios &)> driver;  // what the driver made of the request
    bool pty;
    std::string finding;
    bool no_parity = false;  // 8N1 asked for, and no speed
  } cases[] = {
      {"all applied", [](termios &) {}, false, ""},
      {"8E1 taken as 8N1", [](termios &t) { t.c_cflag &= ~PARENB; }, false,
       "even parity (read back: none)"},
      {"a pty drops parity", [](termios &t) { t.c_cflag &= ~PARENB; }, true, ""},
      {"odd instead of even", [](termios &t) { t.c_cflag |= PARODD; }, false,
       "even parity (read back: odd)"},
      {"speed kept", [](termios &t) { cfsetispeed(&t, B4800), cfsetospeed(&t, B4800); }, false,
       "speed 9600 (read back: 4800 in, 4800 out)"},
      {"7 data bits", [](termios &t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }, false,
       "8 data bits (read back: 7)"},
      {"no INPCK", [](termios &t) { t.c_iflag &= ~INPCK; }, true,
       "input parity checking on (INPCK)"},
      {"2 stop bits", [](termios &t) { t.c_cflag |= CSTOPB; }, false, "1 stop bit (read back: 2)"},
      {"input processing", [](termios &t) { t.c_iflag |= IXON; }, false,
       "raw input (input flags 0x10, read back 0x410)"},
      {"output processing", [](termios &t) { t.c_oflag |= OPOST; }, false,
       "raw output (output flags 0x0, read back 0x1)"},
      {"canonical input", [](termios &t) { t.c_lflag |= ICANON; }, false,
       "raw mode (local flags 0x1000, read back 0x1002)"},
      {"VMIN and VTIME", [](termios &t) { t.c_cc[VMIN] = 1, t.c_cc[VTIME] = 0; }, false,
       "VMIN 0 (read back: 1), VTIME 1 (read back: 0)"},
      {"not asked for", [](termios &t) {
         t.c_cflag &= ~(CLOCAL | HUPCL);
         t.c_cc[VEOF] = 0;
       }, false, ""},
      {"8N1 asked, parity on", [](termios &t) { t.c_cflag |= PARENB; }, false,
       "no parity (read back: even)", true},
      {"8N1 asked, odd sense and another speed",
       [](termios &t) { t.c_cflag |= PARODD, cfsetospeed(&t, B300); }, false, "", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    termios asked = asked_8e1();
    speed_t speed = B9600;
    if (c.no_parity) {
      asked.c_cflag &= ~PARENB;
      asked.c_iflag = 0;
      speed = 0;
    }
    termios got = asked;
    c.driver(got);
    EXPECT_EQ(c.finding, trn::settings_not_applied(asked, speed, got, c.pty));
  }
}

}  // namespace
