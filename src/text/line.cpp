#include "text/line.h"

#include <cstring>

namespace {

constexpr std::size_t DIGITS_CAPACITY = 24;  // any unsigned long in decimal

}  // namespace

Line line_in(char* area, std::size_t capacity) { return Line{area, capacity, 0}; }

void append_bytes(Line* line, const unsigned char* bytes, std::size_t count) {
  const std::size_t room = line->length < line->capacity ? line->capacity - 1 - line->length : 0;
  const std::size_t taken = count < room ? count : room;
  std::memcpy(line->text + line->length, bytes, taken);
  line->length += taken;
}

void append_text(Line* line, const char* text) {
  append_bytes(line, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

void append_unsigned(Line* line, unsigned long value) {
  unsigned char digits[DIGITS_CAPACITY];
  std::size_t first = DIGITS_CAPACITY;
  do {
    digits[--first] = static_cast<unsigned char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append_bytes(line, digits + first, DIGITS_CAPACITY - first);
}

void append_signed(Line* line, long value) {
  if (value < 0) {
    append_text(line, "-");
    // Negated in unsigned arithmetic, which holds the magnitude of LONG_MIN.
    append_unsigned(line, 0UL - static_cast<unsigned long>(value));
    return;
  }
  append_unsigned(line, static_cast<unsigned long>(value));
}

void end_line(Line* line) {
  if (line->length < line->capacity) {
    line->text[line->length] = '\n';
    ++line->length;
  }
}
