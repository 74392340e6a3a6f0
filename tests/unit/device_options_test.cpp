// The simulated device's command line.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "options.h"

namespace {

using Arguments = std::vector<std::string>;

// Parses `arguments` as the device's command line (the program's name
// added in front); gives parse_options' result. The words live on until
// the next call, as argv does: --rules and --pcap keep pointers into them.
int parse(const Arguments& arguments, DeviceOptions* options, std::string* error) {
  static std::vector<std::string> words;
  words = {"udpcmd-device"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  char text[OPTION_ERROR_CAPACITY];
  const int accepted = parse_options(static_cast<int>(words.size()), argv.data(), options, text);
  *error = text;
  return accepted;
}

DeviceOptions defaults() {
  DeviceOptions options{};
  options.port = DEFAULT_PORT;
  options.reply_mode = ReplyMode::ACKNOWLEDGE;
  return options;
}

std::string text(const char* path) { return path != nullptr ? path : "(none)"; }

std::string staged(const DeviceOptions& options) {
  return std::string(options.reply, options.reply + options.reply_length);
}

// One row of ACCEPTED.
struct AcceptedRow {
  const char* name;
  Arguments arguments;
  void (*change)(DeviceOptions*);
};

void PrintTo(const AcceptedRow& row, std::ostream* out) { *out << row.name; }

class OptionsAccepted : public ::testing::TestWithParam<AcceptedRow> {};

TEST_P(OptionsAccepted, SetExactlyWhatTheyName) {
  DeviceOptions expected = defaults();
  GetParam().change(&expected);
  static DeviceOptions options;
  std::string error;
  ASSERT_EQ(parse(GetParam().arguments, &options, &error), 1) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(options.address, expected.address);
  EXPECT_EQ(options.port, expected.port);
  EXPECT_EQ(options.reply_mode, expected.reply_mode);
  EXPECT_EQ(staged(options), staged(expected));
  EXPECT_EQ(options.reply_from_other_port, expected.reply_from_other_port);
  EXPECT_EQ(options.reply_port, expected.reply_port);
  EXPECT_EQ(options.count, expected.count);
  EXPECT_EQ(options.idle_seconds, expected.idle_seconds);
  EXPECT_EQ(text(options.rules_path), text(expected.rules_path));
  EXPECT_EQ(text(options.pcap_path), text(expected.pcap_path));
  EXPECT_EQ(options.help, expected.help);
  EXPECT_EQ(options.version, expected.version);
}

void stage(DeviceOptions* options, const std::string& bytes) {
  options->reply_mode = ReplyMode::STAGED;
  bytes.copy(reinterpret_cast<char*>(options->reply), bytes.size());
  options->reply_length = bytes.size();
}

const std::string LONGEST_TEXT(STAGED_REPLY_CAPACITY, 'x');
const std::string LONGEST_HEX(2 * STAGED_REPLY_CAPACITY, '7');

// Columns: name, arguments, what they change in the defaults.
// clang-format off
const AcceptedRow ACCEPTED[] = {
    {"None",                       {},                                  [](DeviceOptions*) {}},
    {"AddressAfterEquals",         {"--address=127.0.0.1"},             [](DeviceOptions* o) { o->address = 0x7F000001U; }},
    // All bits set: a real address here, not a failure value.
    {"AddressAllOnes",             {"--address", "255.255.255.255"},    [](DeviceOptions* o) { o->address = 0xFFFFFFFFU; }},
    {"AddressAny",                 {"--address", "0.0.0.0"},            [](DeviceOptions*) {}},
    {"PortZero",                   {"--port", "0"},                     [](DeviceOptions* o) { o->port = 0; }},
    {"PortHighest",                {"--port=65535"},                    [](DeviceOptions* o) { o->port = 65535; }},
    {"ReplyText",                  {"--reply-text", "ready: 42"},       [](DeviceOptions* o) { stage(o, "ready: 42"); }},
    {"ReplyTextEmpty",             {"--reply-text="},                   [](DeviceOptions* o) { stage(o, ""); }},
    {"ReplyTextLongest",           {"--reply-text", LONGEST_TEXT},      [](DeviceOptions* o) { stage(o, LONGEST_TEXT); }},
    {"ReplyTextLooksLikeAnOption", {"--reply-text", "--port"},          [](DeviceOptions* o) { stage(o, "--port"); }},
    {"ReplyHexWithZeroInside",     {"--reply-hex", " 41 42 00 43 "},    [](DeviceOptions* o) { stage(o, std::string("AB\0C", 4)); }},
    {"ReplyHexEitherCase",         {"--reply-hex", "c3A9fF"},           [](DeviceOptions* o) { stage(o, "\xC3\xA9\xFF"); }},
    {"ReplyHexEmpty",              {"--reply-hex", ""},                 [](DeviceOptions* o) { stage(o, ""); }},
    {"ReplyHexLongest",            {"--reply-hex", LONGEST_HEX},        [](DeviceOptions* o) { stage(o, std::string(STAGED_REPLY_CAPACITY, 'w')); }},
    {"NoReply",                    {"--no-reply"},                      [](DeviceOptions* o) { o->reply_mode = ReplyMode::NONE; }},
    {"ReplyPortAny",               {"--reply-port", "0"},               [](DeviceOptions* o) { o->reply_from_other_port = true; }},
    {"CountAndIdleAtTheirLimits",  {"--count", "1000000000", "--idle", "86400"}, [](DeviceOptions* o) { o->count = 1000000000L; o->idle_seconds = 86400; }},
    {"Everything",                 {"--idle=1", "--count", "2", "--reply-port", "2640", "--port", "2639", "--address", "10.0.0.1", "--reply-text", "x"}, [](DeviceOptions* o) { o->idle_seconds = 1; o->count = 2; o->reply_from_other_port = true; o->reply_port = 2640; o->address = 0x0A000001U; stage(o, "x"); }},
    {"RulesAndCapture",            {"--rules", "r.txt", "--pcap=c.pcap"}, [](DeviceOptions* o) { o->rules_path = "r.txt"; o->pcap_path = "c.pcap"; }},
    {"Help",                       {"--help"},                          [](DeviceOptions* o) { o->help = true; }},
    {"HelpShort",                  {"--port", "7", "-h"},               [](DeviceOptions* o) { o->port = 7; o->help = true; }},
    {"HelpWindows",                {"/?"},                              [](DeviceOptions* o) { o->help = true; }},
    {"Version",                    {"--version"},                       [](DeviceOptions* o) { o->version = true; }},
    {"NamesShortened",             {"--no", "--v", "--po", "7"},        [](DeviceOptions* o) { o->reply_mode = ReplyMode::NONE; o->version = true; o->port = 7; }},
    {"DoubleDashEndsOptions",      {"--count", "3", "--"},              [](DeviceOptions* o) { o->count = 3; }},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lines, OptionsAccepted, ::testing::ValuesIn(ACCEPTED),
                         [](const auto& info) { return std::string(info.param.name); });

// One row of REFUSED.
struct RefusedRow {
  const char* name;
  Arguments arguments;
  const char* before;  // the explanation: these three texts, joined
  const char* fixed;
  const char* after;
};

void PrintTo(const RefusedRow& row, std::ostream* out) { *out << row.name; }

class OptionsRefused : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(OptionsRefused, WithOneLineSayingWhy) {
  static DeviceOptions options;
  std::string error;
  EXPECT_EQ(parse(GetParam().arguments, &options, &error), 0);
  EXPECT_EQ(error, std::string(GetParam().before) + GetParam().fixed + GetParam().after);
}

const std::string TOO_LONG_TEXT(STAGED_REPLY_CAPACITY + 1, 'x');
const std::string TOO_LONG_HEX(2 * STAGED_REPLY_CAPACITY + 2, '4');

// Columns: name, arguments, the explanation given, in three parts: what
// comes before the fixed text, the fixed text, what follows it (the device
// prints it as "udpcmd-device: EXPLANATION (see --help)" and ends with
// status 2).
// clang-format off
const RefusedRow REFUSED[] = {
    {"Unknown",               {"--bogus"},                                "",               UNKNOWN_OPTION,      "--bogus"},
    {"UnknownWithValue",      {"--bogus=1"},                              "",               UNKNOWN_OPTION,      "--bogus=1"},
    {"PortOrPcap",            {"--p", "2639"},                            "",               UNKNOWN_OPTION,      "--p"},
    {"ShortOption",           {"-p"},                                     "",               UNKNOWN_OPTION,      "-p"},
    {"ShortOptions",          {"-hx"},                                    "",               UNKNOWN_OPTION,      "-hx"},
    {"WindowsOption",         {"/port"},                                  "",               UNEXPECTED_ARGUMENT, "/port"},
    {"NotAnOption",           {"2639"},                                   "",               UNEXPECTED_ARGUMENT, "2639"},
    {"AfterDoubleDash",       {"--", "--port"},                           "",               UNEXPECTED_ARGUMENT, "--port"},
    {"SingleDash",            {"--no-reply", "-"},                        "",               UNEXPECTED_ARGUMENT, "-"},
    {"ValueMissing",          {"--port"},                                 "--port",         NEEDS_VALUE,         ""},
    {"ValueMissingShortened", {"--idl"},                                  "--idle",         NEEDS_VALUE,         ""},
    {"ValueOnAFlag",          {"--no-reply=yes"},                         "--no-reply",     TAKES_NO_VALUE,      ""},
    {"PortTooLarge",          {"--port", "65536"},                        "--port: ",       NOT_A_PORT,          ": 65536"},
    {"PortNotANumber",        {"--port", "x"},                            "--port: ",       NOT_A_PORT,          ": x"},
    {"PortEmpty",             {"--port="},                                "--port: ",       NOT_A_PORT,          ": "},
    {"PortSigned",            {"--port", "+1"},                           "--port: ",       NOT_A_PORT,          ": +1"},
    {"PortSpaced",            {"--port", " 1"},                           "--port: ",       NOT_A_PORT,          ":  1"},
    {"PortTrailing",          {"--port", "1x"},                           "--port: ",       NOT_A_PORT,          ": 1x"},
    {"ReplyPortNegative",     {"--reply-port", "-1"},                     "--reply-port: ", NOT_A_PORT,          ": -1"},
    {"CountZero",             {"--count", "0"},                           "--count: ",      NOT_A_COUNT,         ": 0"},
    {"CountTooLarge",         {"--count", "1000000001"},                  "--count: ",      NOT_A_COUNT,         ": 1000000001"},
    {"CountOutOfRange",       {"--count", "99999999999999999999"},        "--count: ",      NOT_A_COUNT,         ": 99999999999999999999"},
    {"IdleZero",              {"--idle", "0"},                            "--idle: ",       NOT_SECONDS,         ": 0"},
    {"IdleTooLong",           {"--idle", "86401"},                        "--idle: ",       NOT_SECONDS,         ": 86401"},
    {"AddressPartTooLarge",   {"--address", "256.1.1.1"},                 "--address: ",    NOT_AN_ADDRESS,      ": 256.1.1.1"},
    {"AddressThreeParts",     {"--address", "1.2.3"},                     "--address: ",    NOT_AN_ADDRESS,      ": 1.2.3"},
    {"AddressFiveParts",      {"--address", "1.2.3.4.5"},                 "--address: ",    NOT_AN_ADDRESS,      ": 1.2.3.4.5"},
    {"AddressInHex",          {"--address", "0x7f.0.0.1"},                "--address: ",    NOT_AN_ADDRESS,      ": 0x7f.0.0.1"},
    {"AddressLeadingZero",    {"--address", "010.0.0.1"},                 "--address: ",    NOT_AN_ADDRESS,      ": 010.0.0.1"},
    {"AddressTrailingSpace",  {"--address", "1.2.3.4 "},                  "--address: ",    NOT_AN_ADDRESS,      ": 1.2.3.4 "},
    {"AddressEmptyPart",      {"--address", "1..3.4"},                    "--address: ",    NOT_AN_ADDRESS,      ": 1..3.4"},
    {"HexOdd",                {"--reply-hex", "414"},                     "--reply-hex: ",  NOT_HEX_PAIRS,       ": 414"},
    {"HexSplitPair",          {"--reply-hex", "4 1"},                     "--reply-hex: ",  NOT_HEX_PAIRS,       ": 4 1"},
    {"HexNotHex",             {"--reply-hex", "zz"},                      "--reply-hex: ",  NOT_HEX_PAIRS,       ": zz"},
    {"HexTooLong",            {"--reply-hex", TOO_LONG_HEX},              "--reply-hex: ",  STAGED_TOO_LONG,     ""},
    {"TextTooLong",           {"--reply-text", TOO_LONG_TEXT},            "--reply-text: ", STAGED_TOO_LONG,     ""},
    {"ValueRepeated",         {"--port", "1", "--port=1"},                "--port",         GIVEN_TWICE,         ""},
    {"FlagRepeated",          {"--help", "--help"},                       "--help",         GIVEN_TWICE,         ""},
    {"HelpTwoWays",           {"/?", "--help"},                           "--help",         GIVEN_TWICE,         ""},
    {"ReplyRepeated",         {"--reply-text", "a", "--reply-text", "b"}, "--reply-text",   GIVEN_TWICE,         ""},
    {"TwoReplies",            {"--no-reply", "--reply-text", "x"},        "--reply-text",   ONE_REPLY_ONLY,      ""},
    {"TextAndHex",            {"--reply-text", "a", "--reply-hex", "41"}, "--reply-hex",    ONE_REPLY_ONLY,      ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lines, OptionsRefused, ::testing::ValuesIn(REFUSED),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
