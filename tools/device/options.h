// Command-line options of the simulated device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values.h"

constexpr std::uint16_t DEFAULT_PORT = 2639;
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
  const char* rules_path;    // --rules FILE, or nullptr
  const char* pcap_path;     // --pcap FILE, or nullptr
  bool help;
  bool version;
};

// Fills `options` from the arguments (long options, "--name value" or
// "--name=value", names shortened while unambiguous, "--" ends them; -h and
// /? for --help; no other arguments). Each option may be given once, and only one of
// --reply-text, --reply-hex and --no-reply. Gives 1, or 0 with a one-line
// explanation, zero-terminated, in `error` (OPTION_ERROR_CAPACITY bytes).
int parse_options(int argc, char** argv, DeviceOptions* options, char* error);
