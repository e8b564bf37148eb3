// Configuration file reader: the serial port number from "./trn.ini" and the
// device path chosen from it.  No toolkit here, so that programs other than
// the panel use the same reader and rule.
#pragma once

#include <cstddef>

extern char port_number[6];
extern const char *const init_serial[1];

void str_strip(char *buf);
char *sub_string(char *buf, int len);
void parser_helper(char *result, const char *ch, const char *compare);

// Reads "./trn.ini" into port_number (steps 1-3 of the reader).
void read_config();
// Chooses the device path from port_number (or TRN_DEVICE when set and
// non-empty) into ttyS_now, which holds size bytes.
void choose_device(char *ttyS_now, size_t size);
