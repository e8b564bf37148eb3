// Frames and setting values as the run's record shows them: hex text, and a
// setting's byte as a JSON value.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "settings.h"

namespace trn::station {

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
// The byte of such a value, as a record keeps it; false when it is none of
// the setting's.
bool byte_of(const trn::Setting &s, const Json &value, uint8_t *byte);

}  // namespace trn::station
