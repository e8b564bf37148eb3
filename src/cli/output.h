// trnctl's output: settings as text and as JSON values, frames as hex text.
#pragma once

#include <string>

#include "values.h"

namespace trnctl {

// Frames as hex text and settings as JSON values, as the self-test's
// records show them.
using trn::station::hex_byte;
using trn::station::hex_bytes;
using trn::station::json_value;
using Json = trn::station::Json;

// JSON text, on one line unless indent >= 0.
std::string json_text(const Json &value, int indent = -1);

// Now, days_back whole days ago, in UTC as strftime's format writes it
// ("%Y-%m-%d", "%H:%M:%S").
std::string utc_text(const char *format, int days_back = 0);

// Prints one line of text, or the JSON value, on standard output.  A line
// that cannot be written is not retried: output_error() tells.
void print_line(const std::string &line);
void print_json(const Json &value);

// The errno of the first failed write to standard output (ENOSPC for a full
// disk, EPIPE once a pipe's reader has gone), after flushing what is
// buffered; 0 while every write has succeeded.
int output_error();

}  // namespace trnctl
