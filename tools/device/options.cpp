#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device_net.h"
#include "net/line.h"

namespace {

// Each option's key, from 1 in the order of LONG_OPTIONS (TEXT, HEX: --reply-text, --reply-hex).
enum Key { ADDRESS = 1, PORT, TEXT, HEX, NO_REPLY, REPLY_PORT, COUNT, IDLE, HELP, VERSION };

constexpr unsigned REPLY_KEYS = 1U << TEXT | 1U << HEX | 1U << NO_REPLY;

const option LONG_OPTIONS[] = {
    {"address", required_argument, nullptr, ADDRESS},
    {"port", required_argument, nullptr, PORT},
    {"reply-text", required_argument, nullptr, TEXT},
    {"reply-hex", required_argument, nullptr, HEX},
    {"no-reply", no_argument, nullptr, NO_REPLY},
    {"reply-port", required_argument, nullptr, REPLY_PORT},
    {"count", required_argument, nullptr, COUNT},
    {"idle", required_argument, nullptr, IDLE},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

// "+": options end at the first argument that is not one; ":": a missing
// value gives ':' and getopt_long prints nothing. No short options.
constexpr const char* SHORT_OPTIONS = "+:";

constexpr long LARGEST_PORT = 65535;
constexpr long LONGEST_COUNT = 1000000000L;
constexpr long LONGEST_IDLE = 86400;

// Writes the pieces, one after the other, as the explanation; gives 0.
int refuse(char* error, const char* a, const char* b, const char* c = "", const char* d = "") {
  Line line = line_in(error, OPTION_ERROR_CAPACITY);
  const char* const pieces[] = {a, b, c, d};
  for (const char* piece : pieces) {
    append_text(&line, piece);
  }
  error[line.length] = 0;  // append_text keeps one byte free
  return 0;
}

const char* name_of(int key) {
  return key >= ADDRESS && key <= VERSION ? LONG_OPTIONS[key - ADDRESS].name : nullptr;
}

// A decimal number from `lowest` to `highest`: digits only, no sign or space.
bool number_in(const char* text, long lowest, long highest, long* value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != 0 || errno == ERANGE || number < lowest ||
      number > highest) {
    return false;
  }
  *value = number;
  return true;
}

// Four decimal numbers up to 255 joined by dots, without leading zeros:
// inet_addr alone would also take "1.2.3", "0x7f.1" and octal "010.0.0.1".
bool dotted_quad(const char* text) {
  for (int group = 0; group < 4; ++group) {
    if (group > 0 && *text++ != '.') {
      return false;
    }
    int digits = 0;
    long number = 0;
    for (; digits < 4 && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
      number = number * 10 + (text[digits] - '0');
    }
    if (digits == 0 || digits > 3 || number > 255 || (digits > 1 && text[0] == '0')) {
      return false;
    }
    text += digits;
  }
  return *text == 0;
}

bool hex_digit(char c) { return c != 0 && std::strchr("0123456789abcdefABCDEF", c) != nullptr; }

// Pairs of hex digits; spaces between the pairs.
int take_hex(const char* text, DeviceOptions* options, char* error) {
  options->reply_length = 0;
  for (const char* c = text; *c != 0; ++c) {
    if (*c == ' ') {
      continue;
    }
    if (!hex_digit(c[0]) || !hex_digit(c[1])) {
      return refuse(error, "--reply-hex: not pairs of hex digits: ", text);
    }
    if (options->reply_length == STAGED_REPLY_CAPACITY) {
      return refuse(error, "--reply-hex: more than 1024 bytes", "");
    }
    const char pair[] = {c[0], c[1], 0};
    options->reply[options->reply_length++] =
        static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    ++c;  // past the pair's first digit here, its second in the loop
  }
  return 1;
}

int take_number(int key, const char* value, DeviceOptions* options, char* error) {
  long number = 0;
  if (key == COUNT) {
    if (!number_in(value, 1, LONGEST_COUNT, &number)) {
      return refuse(error, "--count: not a number from 1 to 1000000000: ", value);
    }
    options->count = number;
  } else if (key == IDLE) {
    if (!number_in(value, 1, LONGEST_IDLE, &number)) {
      return refuse(error, "--idle: not a number of seconds (1 to 86400): ", value);
    }
    options->idle_seconds = static_cast<int>(number);
  } else if (!number_in(value, 0, LARGEST_PORT, &number)) {
    return refuse(error, "--", name_of(key), ": not a port number (0 to 65535): ", value);
  } else {
    (key == PORT ? options->port : options->reply_port) = static_cast<std::uint16_t>(number);
    options->reply_from_other_port |= key == REPLY_PORT;
  }
  return 1;
}

int take(int key, const char* value, DeviceOptions* options, char* error) {
  switch (key) {
    case ADDRESS:
      if (!dotted_quad(value)) {
        return refuse(error, "--address: not an IPv4 address (A.B.C.D): ", value);
      }
      options->address = net_inet_addr(value);  // which cannot fail on a checked form
      return 1;
    case TEXT:
      options->reply_mode = ReplyMode::STAGED;
      options->reply_length = std::strlen(value);
      if (options->reply_length > STAGED_REPLY_CAPACITY) {
        return refuse(error, "--reply-text: more than 1024 bytes", "");
      }
      std::memcpy(options->reply, value, options->reply_length);
      return 1;
    case HEX:
      options->reply_mode = ReplyMode::STAGED;
      return take_hex(value, options, error);
    case NO_REPLY:
      options->reply_mode = ReplyMode::NONE;
      return 1;
    case HELP:
      options->help = true;
      return 1;
    case VERSION:
      options->version = true;
      return 1;
    default:
      return take_number(key, value, options, error);
  }
}

// Each option once; --reply-text, --reply-hex and --no-reply all set the
// reply, so only one of them.
int check_once(int key, unsigned* seen, char* error) {
  const unsigned bit = 1U << key;
  if ((*seen & bit) != 0) {
    return refuse(error, "--", name_of(key), " given twice");
  }
  if ((bit & REPLY_KEYS) != 0 && (*seen & REPLY_KEYS) != 0) {
    return refuse(error, "--", name_of(key),
                  ": only one of --reply-text, --reply-hex and --no-reply may be given");
  }
  *seen |= bit;
  return 1;
}

// getopt_long gave '?' or ':' for `argument`; optopt holds the option's key
// when the option itself is known.
int refuse_argument(int key, const char* argument, char* error) {
  const char* name = name_of(optopt);
  if (key == ':' && name != nullptr) {
    return refuse(error, "--", name, " needs a value");
  }
  if (name != nullptr && argument[1] == '-') {
    return refuse(error, "--", name, " takes no value");
  }
  return refuse(error, "unknown or ambiguous option: ", argument);
}

}  // namespace

int parse_options(int argc, char** argv, DeviceOptions* options, char* error) {
  std::memset(options, 0, sizeof *options);
  options->port = DEFAULT_PORT;
  options->reply_mode = ReplyMode::ACKNOWLEDGE;
  error[0] = 0;
  unsigned seen = 0;
  opterr = 0;
  optind = 0;  // not 1: glibc then also drops what it kept from an earlier parse
  for (;;) {
    const int at = optind > 0 ? optind : 1;  // the argument getopt_long reads next
    const int key = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
    if (key == -1) {
      break;
    }
    if (key == '?' || key == ':') {
      return refuse_argument(key, argv[at], error);
    }
    if (!check_once(key, &seen, error) || !take(key, optarg, options, error)) {
      return 0;
    }
  }
  if (optind < argc) {
    return refuse(error, "unexpected argument: ", argv[optind]);
  }
  return 1;
}
