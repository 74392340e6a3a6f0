#include "options.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr long LONGEST_COUNT = 1000000000L;
constexpr long LONGEST_IDLE = 86400L;
constexpr long LARGEST_PORT = 65535L;

const char* const HELP[] = {
    "usage: udpcmd-device [OPTIONS]",
    "",
    "A stand-in for the device that udpcmd sends its commands to. It binds a UDP",
    "address and port and, for each datagram, prints one line: where it came from,",
    "its bytes in hex, its text, whether it is a well-formed command frame (header",
    "F1 01 04, message, end of text 0D, checksum field, trailer F2) or what is wrong",
    "with it, and what was done about a reply. A well-formed frame that awaits a",
    "reply (an at sign and no asterisk in the frame) gets one datagram back, sent to",
    "the sender's address and port; other datagrams get none.",
    "",
    "  --address A.B.C.D  address to bind (default 0.0.0.0)",
    "  --port N           UDP port to bind (default 2639; 0 takes any free port)",
    "  --reply-text TEXT  reply with TEXT (up to 1024 bytes) instead of the default:",
    "                     \"OK \" and the command's message, at most 29 bytes",
    "  --reply-hex HEX    reply with these bytes: pairs of hex digits, spaces allowed;",
    "                     \"\" stages an empty datagram; up to 1024 bytes, so an",
    "                     oversize reply or one with a zero byte inside can be staged",
    "  --no-reply         never reply: udpcmd is left waiting",
    "  --reply-port N     send replies from a second socket bound to port N of the",
    "                     same address (0 takes any free port)",
    "  --count N          exit after N datagrams",
    "  --idle SECONDS     exit when no datagram has come for SECONDS",
    "  --help             show this text",
    "",
    "Once bound it prints \"udpcmd-device listening on ADDRESS:PORT\". Exit status: 0",
    "when --count or --idle ends it, 1 when a socket cannot be set up or keeps",
    "failing, 2 for a bad option. Stop it with an interrupt otherwise.",
    "",
    "Run it, like udpcmd, only inside an isolated network namespace: scripts/try",
    "does that for one command.",
};

void explain(char* error, const char* what, const char* detail) {
  (void)std::snprintf(error, OPTION_ERROR_CAPACITY, "%s%s", what, detail);
}

int parse_number(const char* text, long largest, long* value) {
  if (*text == 0) {
    return 0;
  }
  long number = 0;
  for (const char* c = text; *c != 0; ++c) {
    if (*c < '0' || *c > '9') {
      return 0;
    }
    number = number * 10 + (*c - '0');
    if (number > largest) {
      return 0;
    }
  }
  *value = number;
  return 1;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

int parse_hex(const char* text, DeviceOptions* options, char* error) {
  std::size_t length = 0;
  int high = -1;
  for (const char* c = text; *c != 0; ++c) {
    if (*c == ' ') {
      continue;
    }
    const int digit = hex_digit(*c);
    if (digit < 0) {
      explain(error, "--reply-hex: not a hex digit: ", text);
      return 0;
    }
    if (high < 0) {
      high = digit;
      continue;
    }
    if (length == STAGED_REPLY_CAPACITY) {
      explain(error, "--reply-hex: ", "more than 1024 bytes");
      return 0;
    }
    options->reply[length++] = static_cast<unsigned char>(high * 16 + digit);
    high = -1;
  }
  if (high >= 0) {
    explain(error, "--reply-hex: odd number of hex digits: ", text);
    return 0;
  }
  options->reply_length = length;
  return 1;
}

int stage_reply(const char* option, DeviceOptions* options, char* error) {
  if (options->reply_mode != ReplyMode::ACKNOWLEDGE) {
    explain(error, option, ": only one of --reply-text, --reply-hex and --no-reply may be given");
    return 0;
  }
  options->reply_mode = ReplyMode::STAGED;
  return 1;
}

int take_address(const char* value, DeviceOptions* options, char* error) {
  if (!parse_ipv4(value, &options->address)) {
    explain(error, "--address: not an IPv4 address: ", value);
    return 0;
  }
  return 1;
}

int parse_port(const char* option, const char* value, std::uint16_t* port, char* error) {
  long number = 0;
  if (!parse_number(value, LARGEST_PORT, &number)) {
    (void)std::snprintf(error, OPTION_ERROR_CAPACITY, "%s: not a port number (0 to 65535): %s",
                        option, value);
    return 0;
  }
  *port = static_cast<std::uint16_t>(number);
  return 1;
}

int take_port(const char* value, DeviceOptions* options, char* error) {
  return parse_port("--port", value, &options->port, error);
}

int take_reply_port(const char* value, DeviceOptions* options, char* error) {
  options->reply_from_other_port = true;  // the run ends if the port is bad
  return parse_port("--reply-port", value, &options->reply_port, error);
}

int take_reply_text(const char* value, DeviceOptions* options, char* error) {
  const std::size_t length = std::strlen(value);
  if (!stage_reply("--reply-text", options, error)) {
    return 0;
  }
  if (length > STAGED_REPLY_CAPACITY) {
    explain(error, "--reply-text: ", "more than 1024 bytes");
    return 0;
  }
  std::memcpy(options->reply, value, length);
  options->reply_length = length;
  return 1;
}

int take_reply_hex(const char* value, DeviceOptions* options, char* error) {
  return stage_reply("--reply-hex", options, error) && parse_hex(value, options, error);
}

int take_count(const char* value, DeviceOptions* options, char* error) {
  long number = 0;
  if (!parse_number(value, LONGEST_COUNT, &number) || number == 0) {
    explain(error, "--count: not a positive number: ", value);
    return 0;
  }
  options->count = number;
  return 1;
}

int take_idle(const char* value, DeviceOptions* options, char* error) {
  long number = 0;
  if (!parse_number(value, LONGEST_IDLE, &number) || number == 0) {
    explain(error, "--idle: not a number of seconds (1 to 86400): ", value);
    return 0;
  }
  options->idle_seconds = static_cast<int>(number);
  return 1;
}

struct ValueOption {
  const char* name;
  int (*take)(const char* value, DeviceOptions* options, char* error);
};

const ValueOption VALUE_OPTIONS[] = {
    {"--address", take_address},
    {"--port", take_port},
    {"--reply-text", take_reply_text},
    {"--reply-hex", take_reply_hex},
    {"--reply-port", take_reply_port},
    {"--count", take_count},
    {"--idle", take_idle},
};

const ValueOption* find_value_option(const char* name) {
  for (const ValueOption& option : VALUE_OPTIONS) {
    if (std::strcmp(option.name, name) == 0) {
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

int parse_ipv4(const char* text, std::uint32_t* address) {
  std::uint32_t value = 0;
  const char* c = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *c++ != '.') {
      return 0;
    }
    int digits = 0;
    std::uint32_t number = 0;
    while (*c >= '0' && *c <= '9' && digits < 3) {
      number = number * 10 + static_cast<std::uint32_t>(*c++ - '0');
      ++digits;
    }
    if (digits == 0 || number > 255) {
      return 0;
    }
    value = value << 8 | number;
  }
  if (*c != 0) {
    return 0;
  }
  *address = value;
  return 1;
}

int parse_options(int argc, char** argv, DeviceOptions* options, char* error) {
  std::memset(options, 0, sizeof *options);
  options->port = DEFAULT_PORT;
  options->reply_mode = ReplyMode::ACKNOWLEDGE;
  error[0] = 0;
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
      options->help = true;
      continue;
    }
    if (std::strcmp(option, "--no-reply") == 0) {
      if (!stage_reply(option, options, error)) {
        return 0;
      }
      options->reply_mode = ReplyMode::NONE;
      continue;
    }
    const ValueOption* known = find_value_option(option);
    if (known == nullptr) {
      explain(error, "unknown option: ", option);
      return 0;
    }
    if (i + 1 >= argc) {
      explain(error, option, " needs a value");
      return 0;
    }
    if (!known->take(argv[++i], options, error)) {
      return 0;
    }
  }
  return 1;
}

void print_help() {
  for (const char* line : HELP) {
    std::printf("%s\n", line);
  }
  std::fflush(stdout);
}
