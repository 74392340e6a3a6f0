// The rules file: each form a line can take, each refusal, and which rule
// answers a command.
#include "rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

Rules* parsed(const std::string& text, RulesError* error, int* accepted) {
  static Rules rules;
  *accepted =
      parse_rules(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &rules, error);
  return &rules;
}

// Printable ASCII as it is, every other byte as \xHH.
std::string shown(const unsigned char* bytes, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    char escaped[5];
    (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? std::string(1, static_cast<char>(bytes[i]))
                                                : std::string(escaped);
  }
  return text;
}

// "LINE #PATTERN PATTERN[*]: [delay MS ]reply BYTES|" or "...: no-reply|"
// for each rule, in file order.
std::string described(const Rules& rules) {
  std::string text;
  for (std::size_t i = 0; i < rules.count; ++i) {
    const Rule& rule = rules.rules[i];
    const RulePattern& pattern = rules.patterns[rule.pattern];
    text += std::to_string(rule.line) + " #" + std::to_string(rule.pattern) + " " +
            shown(rules.bytes + pattern.at, pattern.length) + (pattern.prefix ? "*: " : ": ");
    if (rule.delay_ms > 0) {
      text += "delay " + std::to_string(rule.delay_ms) + " ";
    }
    text += rule.replies ? "reply " + shown(rules.bytes + rule.reply_at, rule.reply_length)
                         : "no-reply";
    text += "|";
  }
  return text;
}

// One row of LINES: the file's text, and what it reads as (`rules`), or
// where and why it is refused.
struct LinesRow {
  const char* name;
  std::string text;
  std::string rules;
  std::size_t line;
  const char* reason;
};

void PrintTo(const LinesRow& row, std::ostream* out) { *out << row.name; }

class RulesFile : public ::testing::TestWithParam<LinesRow> {};

TEST_P(RulesFile, ReadsEachLine) {
  const LinesRow& row = GetParam();
  RulesError error;
  int accepted = 0;
  const Rules* rules = parsed(row.text, &error, &accepted);
  if (row.reason == nullptr) {
    ASSERT_EQ(accepted, 1) << error.line << ": " << error.reason;
    EXPECT_EQ(described(*rules), row.rules);
  } else {
    ASSERT_EQ(accepted, 0) << described(*rules);
    EXPECT_EQ(error.line, row.line);
    EXPECT_EQ(std::string(error.reason), row.reason);
  }
}

const std::string EXAMPLE =
    "# comment lines start with '#'; blank lines are ignored\r\n"
    "@STATUS => reply RUNNING\r\n"
    "@STATUS => reply STOPPED\r\n"
    "SET * => reply OK\r\n"
    "@SLOW => delay 1500 reply DONE\r\n"
    "@RAW => reply-hex 4F 4B 00 31\r\n"
    "@HANG => no-reply\r\n";
const std::string LONGEST(STAGED_REPLY_CAPACITY, 'x');
const std::string TOO_LONG_HEX(2 * STAGED_REPLY_CAPACITY + 2, '4');

std::string many_rules(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += "@" + std::to_string(i) + " => no-reply\n";
  }
  return text;
}

// Columns: name, text, the rules read (empty when refused), the line
// refused and why (nullptr: accepted).
// clang-format off
const LinesRow LINES[] = {
    {"Example",                  EXAMPLE,                                  "2 #0 @STATUS: reply RUNNING|3 #0 @STATUS: reply STOPPED|4 #1 SET *: reply OK|5 #2 @SLOW: delay 1500 reply DONE|6 #3 @RAW: reply OK\\x001|7 #4 @HANG: no-reply|", 0, nullptr},
    {"SequenceAcrossTheFile",    "@S => reply A\n@T => reply B\n@S => reply C\n", "1 #0 @S: reply A|2 #1 @T: reply B|3 #0 @S: reply C|", 0, nullptr},
    {"BlankLinesAndNoLastEnd",   "# x\n\n \t \r\n@A => reply x",           "4 #0 @A: reply x|",                     0, nullptr},
    {"TextKeepsTrailingBlanks",  "@A => reply x \t\r\n",                   "1 #0 @A: reply x \\x09|",               0, nullptr},
    {"Utf8MarkSkipped",          "\xEF\xBB\xBF@A => reply x",               "1 #0 @A: reply x|",                     0, nullptr},
    {"CommentsIndented",         " \t# x\n\t#\n@A => reply x",              "3 #0 @A: reply x|",                     0, nullptr},
    {"LongestPatterns",          std::string(26, 'x') + " => no-reply\n" + std::string(22, 'y') + "'* => no-reply", "1 #0 " + std::string(26, 'x') + ": no-reply|2 #1 " + std::string(22, 'y') + "'*: no-reply|", 0, nullptr},
    {"ReplyAloneIsEmpty",        "@A => reply\n@B => reply \n",           "1 #0 @A: reply |2 #1 @B: reply |",      0, nullptr},
    {"TextAfterOneSpace",        "@A => reply  x",                         "1 #0 @A: reply  x|",                    0, nullptr},
    {"HexEitherCaseAndEmpty",    "@A => reply-hex 4f4B \t00\n@B => reply-hex\n", "1 #0 @A: reply OK\\x00|2 #1 @B: reply |", 0, nullptr},
    {"PatternTrimmed",           " \t@A \t =>    reply x",                 "1 #0 @A: reply x|",                     0, nullptr},
    {"SplitAtTheFirstArrow",     "@A => reply B => C",                     "1 #0 @A: reply B => C|",                0, nullptr},
    {"Prefix",                   "SET * => reply OK\nSET* => reply OK",   "1 #0 SET *: reply OK|2 #1 SET*: reply OK|", 0, nullptr},
    {"StarAloneAndInside",       "* => no-reply\nA*B => no-reply",        "1 #0 *: no-reply|2 #1 A*B: no-reply|",  0, nullptr},
    {"BytesAbove7FKept",         "\xE9t\xE9 => reply \xC0",                "1 #0 \\xE9t\\xE9: reply \\xC0|",        0, nullptr},
    {"ApostropheIsJustAByte",    "A\"B => no-reply",                       "1 #0 A\"B: no-reply|",                  0, nullptr},
    {"DelayLimits",              "@A => delay 0 reply x\n@B => delay\t60000  reply-hex 41", "1 #0 @A: reply x|2 #1 @B: delay 60000 reply A|", 0, nullptr},
    {"ReplyOf1024Bytes",         "@A => reply " + LONGEST,                 "1 #0 @A: reply " + LONGEST + "|",       0, nullptr},
    {"NoArrow",                  "@A reply x",                             "", 1,   NO_ARROW},
    {"ArrowWithoutSpaces",       "@A=>reply x",                            "", 1,   NO_ARROW},
    {"ArrowAfterATab",           "@A\t=> reply x",                         "", 1,   NO_ARROW},
    {"LineCountsCommentsBlanks", "# x\r\n\n@A => send x\n",                "", 3,   UNKNOWN_ACTION},
    {"EmptyPattern",             " \t => reply x",                         "", 1,   EMPTY_PATTERN},
    {"NoAction",                 "@A => ",                                 "", 1,   UNKNOWN_ACTION},
    {"ReplyRunOn",               "@A => replyx",                           "", 1,   UNKNOWN_ACTION},
    {"NoReplyWithText",          "@A => no-reply x",                       "", 1,   UNKNOWN_ACTION},
    {"DelayWithoutAction",       "@A => delay 10",                         "", 1,   UNKNOWN_ACTION},
    {"DelayedNoReply",           "@A => delay 10 no-reply",                "", 1,   DELAYED_NO_REPLY},
    {"HexOdd",                   "@A => reply-hex 414",                    "", 1,   BAD_HEX},
    {"HexNotHex",                "@A => reply-hex zz",                     "", 1,   BAD_HEX},
    {"HexTooLong",               "@A => reply-hex " + TOO_LONG_HEX,        "", 1,   REPLY_TOO_LONG},
    {"TextTooLong",              "@A => reply " + LONGEST + "x",           "", 1,   REPLY_TOO_LONG},
    {"DelayTooLong",             "@A => delay 60001 reply x",              "", 1,   BAD_DELAY},
    {"DelayManyDigits",          "@A => delay 000001 reply x",             "", 1,   BAD_DELAY},
    {"DelaySigned",              "@A => delay -1 reply x",                 "", 1,   BAD_DELAY},
    {"DelayNotDecimal",          "@A => delay 1.5 reply x",                "", 1,   BAD_DELAY},
    {"DelayMissing",             "@A => delay reply x",                    "", 1,   BAD_DELAY},
    {"TooManyRules",             many_rules(RULES_CAPACITY + 1),           "", 257, TOO_MANY_RULES},
    {"FileTooLarge",             std::string(RULES_FILE_CAPACITY + 1, '#'), "", 0,  FILE_TOO_LARGE},
    {"Utf16LittleEndian",        "\xFF\xFE@\0A\0",                        "", 0,   UTF16},
    {"Utf16BigEndian",           "\xFE\xFF\0@\0A",                        "", 0,   UTF16},
    {"NoRules",                  "\xEF\xBB\xBF# only\r\n \t\r\n",        "", 0,   NO_RULES},
    {"Empty",                    "",                                       "", 0,   NO_RULES},
    {"LoneCarriageReturn",       "@A => reply x\r@B => reply y\r",          "", 1,   LONE_CR},
    {"CarriageReturnBeforeCrLf", "# x\n@A => reply x\r\r\n",                "", 2,   LONE_CR},
    {"ApostropheNeverSent",      "SET \'* => no-reply",                     "", 1,   APOSTROPHE},
    {"ZeroByteInPattern",        std::string("@A\0B => no-reply", 16),    "", 1,   ZERO_BYTE},
    {"PatternTooLong",           std::string(27, 'x') + "* => no-reply",  "", 1,   PATTERN_TOO_LONG},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lines, RulesFile, ::testing::ValuesIn(LINES),
                         [](const auto& info) { return std::string(info.param.name); });

// One command of a MATCHES row: its message, whether the rule chosen
// answers it, and the line of the rule chosen (0: none).
struct Command {
  const char* message;
  bool answered;
  std::size_t line;
};

struct MatchRow {
  const char* name;
  const char* text;
  std::vector<Command> commands;
};

void PrintTo(const MatchRow& row, std::ostream* out) { *out << row.name; }

class RuleChosen : public ::testing::TestWithParam<MatchRow> {};

TEST_P(RuleChosen, FirstPatternInFileThenItsNextStep) {
  const MatchRow& row = GetParam();
  RulesError error;
  int accepted = 0;
  Rules* rules = parsed(row.text, &error, &accepted);
  ASSERT_EQ(accepted, 1);
  for (const Command& command : row.commands) {
    const std::string message = command.message;
    const int rule =
        rule_for(rules, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EXPECT_EQ(rule < 0 ? 0 : rules->rules[rule].line, command.line) << message;
    if (rule >= 0 && command.answered) {
      use_rule(rules, rule);
    }
  }
}

// Columns: name, rules, the commands in turn.
// clang-format off
const MatchRow MATCHES[] = {
    {"StepsThenTheLastKeeps",   "@S => reply A\n@X => no-reply\n@S => reply B", {{"@S", true, 1}, {"@S", true, 3}, {"@S", true, 3}}},
    {"StepUsedOnlyIfAnswered",  "@S => reply A\n@S => reply B",                 {{"@S", false, 1}, {"@S", true, 1}, {"@S", true, 2}}},
    {"FirstPatternDecides",     "SET * => reply p\nSET 1 => reply e",           {{"SET 1", true, 1}}},
    {"SequenceStandsAtItsFirst", "@A* => reply p\n@AB => reply e\n@A* => reply q", {{"@AB", true, 1}, {"@AB", true, 3}, {"@AC", true, 3}}},
    {"ExactNeedsTheWhole",      "@A => no-reply",                               {{"@AB", true, 0}, {"@", true, 0}, {"@A", true, 1}}},
    {"PrefixNeedsItsStart",     "SET * => no-reply",                            {{"SET", true, 0}, {"SET ", true, 1}, {"SET 12", true, 1}}},
    {"StarAloneMatchesAll",     "* => no-reply",                                {{"", true, 1}, {"@1", true, 1}}},
    {"LastByteDecides",         "@AB => reply 1\n@AC => reply 2",             {{"@AC", true, 2}, {"@AB", true, 1}}},
    {"StarInsideIsAByte",       "A*B => no-reply",                              {{"AxB", true, 0}, {"A*B", true, 1}}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Commands, RuleChosen, ::testing::ValuesIn(MATCHES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
