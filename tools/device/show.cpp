#include "show.h"

#include <cstring>

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

void append_byte_hex(Line* line, unsigned char byte) {
  const char digits[] = {HEX_DIGITS[byte >> 4], HEX_DIGITS[byte & 0x0F], 0};
  append_text(line, digits);
}

std::size_t shown(std::size_t length) { return length < SHOWN_BYTES ? length : SHOWN_BYTES; }

}  // namespace

void append_all(Line* line, std::initializer_list<const char*> texts) {
  for (const char* text : texts) {
    append_text(line, text);
  }
}

void append_hex(Line* line, const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < shown(length); ++i) {
    append_text(line, " ");
    append_byte_hex(line, bytes[i]);
  }
  if (shown(length) < length) {
    append_text(line, " ...");
  }
}

void append_quoted(Line* line, const unsigned char* bytes, std::size_t length) {
  append_text(line, "\"");
  for (std::size_t i = 0; i < shown(length); ++i) {
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      append_text(line, "\\");
      append_bytes(line, &c, 1);
    } else if (c >= 0x20 && c < 0x7F) {
      append_bytes(line, &c, 1);
    } else {
      append_text(line, "\\x");
      append_byte_hex(line, c);
    }
  }
  append_text(line, shown(length) < length ? "\"..." : "\"");
}

void append_number(Line* line, const char* before, unsigned long number, const char* after) {
  append_text(line, before);
  append_unsigned(line, number);
  append_text(line, after);
}

void append_address(Line* line, NetAddress address) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    append_unsigned(line, address.ip >> shift & 0xFFU);
    append_text(line, shift > 0 ? "." : ":");
  }
  append_unsigned(line, address.port);
}

void print_line(std::FILE* stream, Line* line) {
  end_line(line);
  (void)std::fwrite(line->text, 1, line->length, stream);
  (void)std::fflush(stream);
}

void append_reason(Line* line, const char* reason, int code) {
  append_all(line, {": ", reason, " (error "});
  append_signed(line, code);
  append_text(line, ")");
}

void print_file_error(const char* path, int code, const char* after) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_all(&line, {"udpcmd-device: ", path});
  append_reason(&line, std::strerror(code), code);
  append_text(&line, after);
  print_line(stderr, &line);
}
