// udpcmd_frame_table: the frame code's answers for a list of commands, for
// comparing the Wireshark dissector with the program.
//
// Reads one command per line on standard input, as hexadecimal bytes (spaces
// allowed; an empty line is the empty command, and a zero byte is not
// allowed), runs the frame steps of a run on it and prints one line:
//
//   FRAME_HEX S EXPECTS_REPLY     for example  F1010440310D83F2 131 1
//   refused                       when the frame would not fit
//
// S is the checksum sum over the frame up to and including the end-of-text
// byte. Exits 2 on a line it cannot read.
#include <cstdio>
#include <cstring>

#include "frame/frame.h"

namespace {

constexpr std::size_t LINE_CAPACITY = 256;
constexpr std::size_t HEADER_LENGTH = 3;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// Reads hex pairs from `line` into the zero-terminated `argument`; gives 0
// on anything but hex digits and blanks, a zero byte, or too many bytes.
int read_argument(const char* line, char* argument, std::size_t capacity) {
  std::size_t length = 0;
  for (const char* c = line; *c != '\0' && *c != '\n'; ++c) {
    if (*c == ' ' || *c == '\r') {
      continue;
    }
    const int high = hex_digit(c[0]);
    const int low = high < 0 ? -1 : hex_digit(c[1]);
    if (low < 0 || (high | low) == 0 || length + 1 >= capacity) {
      return 0;
    }
    argument[length++] = static_cast<char>(high * 16 + low);
    ++c;
  }
  argument[length] = '\0';
  return 1;
}

void print_frame(const char* argument) {
  unsigned char message[MESSAGE_CAPACITY];
  unsigned char frame[FRAME_CAPACITY];
  if (!copy_message(message, argument)) {
    std::printf("refused\n");
    return;
  }
  substitute_apostrophes(message);
  if (!build_frame(message, frame)) {
    std::printf("refused\n");
    return;
  }
  const std::size_t length = bounded_length(frame, FRAME_CAPACITY);
  for (std::size_t i = 0; i < length; ++i) {
    std::printf("%02X", frame[i]);
  }
  const std::size_t end_of_text = HEADER_LENGTH + bounded_length(message, MESSAGE_CAPACITY);
  std::printf(" %d %d\n", static_cast<int>(checksum_sum(frame, end_of_text + 1)),
              expects_reply(frame) ? 1 : 0);
}

}  // namespace

int main() {
  char line[LINE_CAPACITY];
  char argument[LINE_CAPACITY];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (!read_argument(line, argument, sizeof argument)) {
      std::fprintf(stderr, "udpcmd_frame_table: cannot read the line: %s", line);
      return 2;
    }
    print_frame(argument);
    std::fflush(stdout);
  }
  return 0;
}
