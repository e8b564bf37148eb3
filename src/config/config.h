// Configuration: the serial port number from "./trn.ini" and the choice of
// the device path, for the panel and for trnctl.  No toolkit and nothing
// printed here: the reader reports what it found, and each program says what
// it has to say about it.
#pragma once

#include <cstddef>
#include <string>

// The port number as text ("5"): at most five characters.
extern char port_number[6];
// The keys of the file: only "COM=".
extern const char *const init_serial[1];

void str_strip(char *buf);
char *sub_string(char *buf, int len);
void parser_helper(char *result, const char *ch, const char *compare);

namespace trn {

// What reading "./trn.ini" found, and what of it was not used.
struct ConfigReport {
  bool opened = false;     // the file was there and could be opened
  int open_error = 0;      // errno of the failed open (ENOENT: no file)
  bool read_failed = false;  // a read error ended the reading early
  std::string value;       // the COM= value kept in port_number ("" for none)
  int replaced = 0;        // earlier COM= values that a later one replaced
  int ignored = 0;         // pieces of the file without the key
};

// Reads "./trn.ini" into port_number: 15-character pieces, the last
// character of each dropped, "COM=" anywhere in a piece, the value after
// the piece's first four characters, stripped, lower-cased, cut to five
// characters; the last COM= wins.  Without the file port_number is left
// as it was.
ConfigReport read_config();

// The device path for the port number read: /dev/ttyS(n-1), or /dev/ttyS4
// when port_number holds no number from 1 up (port_number then becomes "5").
std::string device_from_port_number();

// Device paths by TRN_DEVICE, which names a device that COM=n cannot (a
// USB adapter, the simulated board's pseudo-terminal).  The panel keeps its
// path in 32 characters, so it takes at most 31; trnctl takes any length,
// for the long /dev/serial/by-id/ names.
constexpr size_t PANEL_DEVICE_MAX = 31;
constexpr size_t ANY_DEVICE_LENGTH = static_cast<size_t>(-1);

// TRN_DEVICE when it is set, not empty and at most max_length characters;
// "" otherwise.  *too_long tells a path refused for its length (a path cut
// short would name some other device).
std::string device_from_environment(size_t max_length, bool *too_long);

}  // namespace trn
