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
#include "values.h"

namespace {

constexpr std::size_t LINE_CAPACITY = 256;
constexpr std::size_t HEADER_LENGTH = 3;

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
  unsigned char argument[LINE_CAPACITY];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    // The device's own reading of hex pairs; a zero byte would end the argument.
    const long length = hex_bytes({line, std::strcspn(line, "\r\n")}, argument, LINE_CAPACITY - 1);
    if (length < 0 || std::memchr(argument, 0, static_cast<std::size_t>(length)) != nullptr) {
      std::fprintf(stderr, "udpcmd_frame_table: cannot read the line: %s", line);
      return 2;
    }
    argument[length] = 0;
    print_frame(reinterpret_cast<const char*>(argument));
    std::fflush(stdout);
  }
  return 0;
}
