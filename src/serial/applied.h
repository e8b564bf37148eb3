// What a port's driver made of the line settings: tcsetattr succeeds when
// the driver took any part of a request, so the attributes are read back
// and compared, field by field, with what was asked.  This sees what the
// driver accepted, not what an adapter's chip then does with it.
#pragma once

#include <termios.h>

#include <string>

namespace trn {

// The fields of asked (the attributes handed to tcsetattr) that got (those
// read back) does not hold, named one by one and joined by ", ":
// "speed 9600 (read back: 4800 in, 4800 out), even parity (read back: none)".
// Empty when every field asked for holds.  Compared: the speed both ways
// (speed: the code asked for, B9600; 0 when none was), the data bits, the
// parity (its sense only when it is on), the stop bits, the input, output
// and local flags whole (raw mode; INPCK, input parity checking, named on
// its own), VMIN and VTIME.  Nothing else (CLOCAL, HUPCL, the other control
// characters, ...).  pty: the port is a pseudo-terminal, which cannot carry
// parity, and its parity bits are not compared.
std::string settings_not_applied(const struct termios &asked, speed_t speed,
                                 const struct termios &got, bool pty);

}  // namespace trn
