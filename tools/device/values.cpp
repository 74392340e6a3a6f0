#include "values.h"

#include <algorithm>
#include <charconv>

// from_chars would take a minus sign too, so the first byte must be a digit.
const char* number_at(std::string_view text, long lowest, long highest, long* value) {
  long number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || text[0] < '0' || text[0] > '9' || error != std::errc{} || number < lowest ||
      number > highest) {
    return nullptr;
  }
  *value = number;
  return end;
}

bool number_in(std::string_view text, long lowest, long highest, long* value) {
  long number = 0;
  const char* end = number_at(text, lowest, highest, &number);
  if (end == nullptr || end != text.data() + text.size()) {
    return false;
  }
  *value = number;
  return true;
}

long hex_bytes(std::string_view text, unsigned char* bytes, std::size_t capacity) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == ' ' || text[at] == '\t') {
      continue;
    }
    // Two digits exactly: from_chars takes no sign for an unsigned value.
    unsigned char byte = 0;
    const char* pair = text.data() + at;
    const char* limit = pair + std::min<std::size_t>(2, text.size() - at);
    const auto [end, error] = std::from_chars(pair, limit, byte, 16);
    if (error != std::errc{} || end != pair + 2) {
      return HEX_NOT_PAIRS;
    }
    if (count == capacity) {
      return HEX_TOO_LONG;
    }
    bytes[count++] = byte;
    ++at;  // past the pair's first digit here, its second in the loop
  }
  return static_cast<long>(count);
}
