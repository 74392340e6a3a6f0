#include "values.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool hex_digit(char c) { return c != 0 && std::strchr("0123456789abcdefABCDEF", c) != nullptr; }

}  // namespace

const char* number_at(const char* text, long lowest, long highest, long* value) {
  if (*text < '0' || *text > '9') {
    return nullptr;
  }
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno == ERANGE || number < lowest || number > highest) {
    return nullptr;
  }
  *value = number;
  return end;
}

bool number_in(const char* text, long lowest, long highest, long* value) {
  long number = 0;
  const char* end = number_at(text, lowest, highest, &number);
  if (end == nullptr || *end != 0) {
    return false;
  }
  *value = number;
  return true;
}

long hex_bytes(const char* text, std::size_t length, unsigned char* bytes, std::size_t capacity) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < length; ++at) {
    if (text[at] == ' ' || text[at] == '\t') {
      continue;
    }
    if (at + 1 == length || !hex_digit(text[at]) || !hex_digit(text[at + 1])) {
      return HEX_NOT_PAIRS;
    }
    if (count == capacity) {
      return HEX_TOO_LONG;
    }
    const char pair[] = {text[at], text[at + 1], 0};
    bytes[count++] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    ++at;  // past the pair's first digit here, its second in the loop
  }
  return static_cast<long>(count);
}
