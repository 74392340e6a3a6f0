// Command-line options of the simulated device.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint16_t DEFAULT_PORT = 2639;
constexpr std::size_t STAGED_REPLY_CAPACITY = 1024;
constexpr std::size_t OPTION_ERROR_CAPACITY = 160;

enum class ReplyMode {
  ACKNOWLEDGE,  // "OK " and the command's message
  STAGED,       // the bytes given with --reply-text or --reply-hex
  NONE,         // --no-reply
};

struct DeviceOptions {
  std::uint32_t address;  // host byte order; 0 is any
  std::uint16_t port;
  ReplyMode reply_mode;
  unsigned char reply[STAGED_REPLY_CAPACITY];
  std::size_t reply_length;
  bool reply_from_other_port;
  std::uint16_t reply_port;  // 0: any free port
  long count;                // exit after this many datagrams; 0: never
  int idle_seconds;          // exit after this long without one; 0: never
  bool help;
};

// Fills `options` from the arguments. Gives 1, or 0 with a one-line
// explanation in `error`.
int parse_options(int argc, char** argv, DeviceOptions* options, char* error);

// Parses "A.B.C.D" into host byte order; gives 1 or 0.
int parse_ipv4(const char* text, std::uint32_t* address);

// Prints the --help text on standard output.
void print_help();
