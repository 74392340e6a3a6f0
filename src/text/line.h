// One line of console output, assembled in a caller's fixed area from text,
// raw bytes and decimal integers, without the printf family. An append that
// does not fit is cut at the end of the area, and one byte always stays free
// for the newline that ends the line.
#pragma once

#include <cstddef>

struct Line {
  char* text;
  std::size_t capacity;
  std::size_t length;
};

// An empty line over `area`, which holds `capacity` bytes (at least 1).
Line line_in(char* area, std::size_t capacity);
void append_text(Line* line, const char* text);
void append_bytes(Line* line, const unsigned char* bytes, std::size_t count);
// Decimal, with no leading zeros or spaces; a minus sign for negative values.
void append_unsigned(Line* line, unsigned long value);
void append_signed(Line* line, long value);
// Ends the line with its newline; the line then holds `length` bytes to write.
void end_line(Line* line);
