// trnctl's output: settings as text and as JSON values, frames as hex text.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "settings.h"

namespace trnctl {

// Objects keep their keys in the order they were added: the table's order.
using Json = nlohmann::ordered_json;

// "1b 42 06 00 00 63 0d".
std::string hex_bytes(const unsigned char *bytes, int n);
// "0c": one byte in two-digit hexadecimal.
std::string hex_byte(uint8_t byte);

// A setting's byte as a JSON value: a number for numbers, a word, an array
// of the mask's words (numbers for gpio), and the plain number for a byte
// outside the setting's vocabulary.
Json json_value(const trn::Setting &s, uint8_t byte);

// JSON text, on one line unless indent >= 0.
std::string json_text(const Json &value, int indent = -1);

// Prints one line of text, or the JSON value, on standard output.  A line
// that cannot be written is not retried: output_error() tells.
void print_line(const std::string &line);
void print_json(const Json &value);

// The errno of the first failed write to standard output (ENOSPC for a full
// disk, EPIPE once a pipe's reader has gone), after flushing what is
// buffered; 0 while every write has succeeded.
int output_error();

}  // namespace trnctl
