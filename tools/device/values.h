// Values the device reads both from its command line and from a rules
// file: decimal numbers, bytes given in hex, and the longest reply it sends.
#pragma once

#include <cstddef>
#include <string_view>

constexpr std::size_t STAGED_REPLY_CAPACITY = 1024;  // the longest reply it sends

// The device's one reading of a decimal number: digits only (no sign or
// space), from `lowest` to `highest`. number_at reads the digits at the
// start of `text` and gives the first byte after them; number_in takes the
// whole of `text`. On success the number is in `value`; on failure
// number_at gives nullptr, number_in false, and `value` is untouched.
const char* number_at(std::string_view text, long lowest, long highest, long* value);
bool number_in(std::string_view text, long lowest, long highest, long* value);

// The device's one reading of bytes given in hex: pairs of hex digits,
// either case, with spaces or tabs between the pairs. Reads `text` into
// `bytes` (room for `capacity`); gives how many, or HEX_NOT_PAIRS, or
// HEX_TOO_LONG when they would not fit.
constexpr long HEX_NOT_PAIRS = -1;
constexpr long HEX_TOO_LONG = -2;
long hex_bytes(std::string_view text, unsigned char* bytes, std::size_t capacity);
