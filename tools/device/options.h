// Command-line options of the simulated device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values.h"

constexpr std::uint16_t DEFAULT_PORT = 2639;
constexpr std::size_t OPTION_ERROR_CAPACITY = 160;

// The fixed texts of parse_options' explanations, around the option's
// "--name" and the argument or value given.
constexpr const char* UNKNOWN_OPTION = "unknown or ambiguous option: ";
constexpr const char* UNEXPECTED_ARGUMENT = "unexpected argument: ";
constexpr const char* NEEDS_VALUE = " needs a value";
constexpr const char* TAKES_NO_VALUE = " takes no value";
constexpr const char* GIVEN_TWICE = " given twice";
constexpr const char* ONE_REPLY_ONLY =
    ": only one of --reply-text, --reply-hex and --no-reply may be given";
constexpr const char* NOT_A_PORT = "not a port number (0 to 65535)";
constexpr const char* NOT_A_COUNT = "not a number from 1 to 1000000000";
constexpr const char* NOT_SECONDS = "not a number of seconds (1 to 86400)";
constexpr const char* NOT_AN_ADDRESS = "not an IPv4 address (A.B.C.D)";
constexpr const char* NOT_HEX_PAIRS = "not pairs of hex digits";
constexpr const char* STAGED_TOO_LONG = "more than 1024 bytes";

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
