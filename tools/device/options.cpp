#include "options.h"

#include <cstring>
#include <initializer_list>

#include "show.h"

namespace {

// Each option's key: its row in LONG_OPTIONS (TEXT, HEX: --reply-text, --reply-hex).
enum { ADDRESS, PORT, TEXT, HEX, NO_REPLY, REPLY_PORT, COUNT, IDLE, RULES, PCAP, HELP, VERSION };
constexpr int KEYS = VERSION + 1;

constexpr unsigned REPLY_KEYS = 1U << TEXT | 1U << HEX | 1U << NO_REPLY;

constexpr bool VALUE = true;
constexpr bool FLAG = false;

struct LongOption {
  const char* name;
  bool takes_value;
  const char* number;  // for a number: what the value must be; nullptr for any other value
  long lowest;
  long highest;
};

// Columns: name, whether it takes a value, and for a number value what it
// must be and its range. Adding an option: a key, a row, its case in take.
// clang-format off
const LongOption LONG_OPTIONS[] = {
    {"address",    VALUE, nullptr,     0, 0},
    {"port",       VALUE, NOT_A_PORT,  0, 65535},
    {"reply-text", VALUE, nullptr,     0, 0},
    {"reply-hex",  VALUE, nullptr,     0, 0},
    {"no-reply",   FLAG,  nullptr,     0, 0},
    {"reply-port", VALUE, NOT_A_PORT,  0, 65535},
    {"count",      VALUE, NOT_A_COUNT, 1, 1000000000L},
    {"idle",       VALUE, NOT_SECONDS, 1, 86400},
    {"rules",      VALUE, nullptr,     0, 0},
    {"pcap",       VALUE, nullptr,     0, 0},
    {"help",       FLAG,  nullptr,     0, 0},
    {"version",    FLAG,  nullptr,     0, 0},
};
// clang-format on
static_assert(sizeof LONG_OPTIONS / sizeof LONG_OPTIONS[0] == KEYS, "one row for each key");

// The whole arguments that stand for --help: -h, and /? as on Windows.
bool help_alias(const char* argument) {
  return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "/?") == 0;
}

// Writes the pieces, one after the other, as the explanation; gives 0.
int refuse(char* error, std::initializer_list<const char*> pieces) {
  Line line = line_in(error, OPTION_ERROR_CAPACITY);
  append_all(&line, pieces);
  error[line.length] = 0;  // append_text keeps one byte free
  return 0;
}

// The key of the option that the first `length` bytes of `name` spell in
// full, or else of the only one they begin; -1 when none or several.
int find(const char* name, std::size_t length) {
  int found = -1;
  int candidates = 0;
  for (int key = 0; key < KEYS; ++key) {
    const char* full = LONG_OPTIONS[key].name;
    if (std::strncmp(full, name, length) != 0) {
      continue;
    }
    if (full[length] == 0) {
      return key;
    }
    found = key;
    ++candidates;
  }
  return candidates == 1 ? found : -1;
}

// Four decimal numbers up to 255 joined by dots, without leading zeros, in
// `address` (host byte order).
bool dotted_quad(const char* text, std::uint32_t* address) {
  std::uint32_t bits = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0 && *text++ != '.') {
      return false;
    }
    long number = 0;
    const char* end = number_at(text, 0, 255, &number);
    if (end == nullptr || (end - text > 1 && *text == '0')) {
      return false;
    }
    bits = bits << 8 | static_cast<std::uint32_t>(number);
    text = end;
  }
  if (*text != 0) {
    return false;
  }
  *address = bits;
  return true;
}

// Sets what option `key` stands for; `number` is its value read as a number
// where its row gives a range.
int take(int key, const char* value, long number, DeviceOptions* options, char* error) {
  switch (key) {
    case ADDRESS:
      if (!dotted_quad(value, &options->address)) {
        return refuse(error, {"--address: ", NOT_AN_ADDRESS, ": ", value});
      }
      return 1;
    case PORT:
      options->port = static_cast<std::uint16_t>(number);
      return 1;
    case TEXT:
      options->reply_mode = ReplyMode::STAGED;
      options->reply_length = std::strlen(value);
      if (options->reply_length > STAGED_REPLY_CAPACITY) {
        return refuse(error, {"--reply-text: ", STAGED_TOO_LONG});
      }
      std::memcpy(options->reply, value, options->reply_length);
      return 1;
    case HEX: {
      options->reply_mode = ReplyMode::STAGED;
      const long length = hex_bytes(value, options->reply, sizeof options->reply);
      if (length == HEX_NOT_PAIRS) {
        return refuse(error, {"--reply-hex: ", NOT_HEX_PAIRS, ": ", value});
      }
      if (length == HEX_TOO_LONG) {
        return refuse(error, {"--reply-hex: ", STAGED_TOO_LONG});
      }
      options->reply_length = static_cast<std::size_t>(length);
      return 1;
    }
    case NO_REPLY:
      options->reply_mode = ReplyMode::NONE;
      return 1;
    case REPLY_PORT:
      options->reply_from_other_port = true;
      options->reply_port = static_cast<std::uint16_t>(number);
      return 1;
    case COUNT:
      options->count = number;
      return 1;
    case IDLE:
      options->idle_seconds = static_cast<int>(number);
      return 1;
    case RULES:
      options->rules_path = value;
      return 1;
    case PCAP:
      options->pcap_path = value;
      return 1;
    case HELP:
      options->help = true;
      return 1;
    default:  // VERSION
      options->version = true;
      return 1;
  }
}

// Each option once; --reply-text, --reply-hex and --no-reply all set the
// reply, so only one of them.
int check_once(int key, unsigned* seen, char* error) {
  const unsigned bit = 1U << key;
  const char* name = LONG_OPTIONS[key].name;
  if ((*seen & bit) != 0) {
    return refuse(error, {"--", name, GIVEN_TWICE});
  }
  if ((bit & REPLY_KEYS) != 0 && (*seen & REPLY_KEYS) != 0) {
    return refuse(error, {"--", name, ONE_REPLY_ONLY});
  }
  *seen |= bit;
  return 1;
}

// The option argv[*at] ("--name", "--name=value", -h or /?), with its value
// from the next argument where it takes one and has no "="; moves *at past
// both.
int take_option(int argc, char** argv, int* at, unsigned* seen, DeviceOptions* options,
                char* error) {
  const char* argument = argv[(*at)++];
  const char* name = argument + 2;  // "" for -h and /?
  const char* equals = std::strchr(name, '=');
  const std::size_t length =
      equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
  // No short options but the --help ones.
  const int key = help_alias(argument) ? HELP : argument[1] == '-' ? find(name, length) : -1;
  if (key < 0) {
    return refuse(error, {UNKNOWN_OPTION, argument});
  }
  const LongOption& option = LONG_OPTIONS[key];
  const char* value = equals != nullptr ? equals + 1 : "";
  if (!option.takes_value && equals != nullptr) {
    return refuse(error, {"--", option.name, TAKES_NO_VALUE});
  }
  if (option.takes_value && equals == nullptr) {
    if (*at == argc) {
      return refuse(error, {"--", option.name, NEEDS_VALUE});
    }
    value = argv[(*at)++];
  }
  if (!check_once(key, seen, error)) {
    return 0;
  }
  long number = 0;
  if (option.number != nullptr && !number_in(value, option.lowest, option.highest, &number)) {
    return refuse(error, {"--", option.name, ": ", option.number, ": ", value});
  }
  return take(key, value, number, options, error);
}

}  // namespace

int parse_options(int argc, char** argv, DeviceOptions* options, char* error) {
  std::memset(options, 0, sizeof *options);
  options->port = DEFAULT_PORT;
  options->reply_mode = ReplyMode::ACKNOWLEDGE;
  error[0] = 0;
  unsigned seen = 0;
  int at = 1;
  // Options end at "--", at "-" and at the first other argument not starting
  // with '-'.
  while (at < argc && ((argv[at][0] == '-' && argv[at][1] != 0) || help_alias(argv[at]))) {
    if (std::strcmp(argv[at], "--") == 0) {
      ++at;
      break;
    }
    if (!take_option(argc, argv, &at, &seen, options, error)) {
      return 0;
    }
  }
  if (at < argc) {
    return refuse(error, {UNEXPECTED_ARGUMENT, argv[at]});
  }
  return 1;
}
