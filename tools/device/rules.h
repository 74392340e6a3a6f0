// A rules file (man/udpcmd-device.txt describes it): how the simulated
// device answers each command, one rule a line; rules with the same pattern
// form a sequence. Reading the text and choosing a rule are pure: no I/O.
#pragma once

#include <cstddef>

#include "values.h"  // STAGED_REPLY_CAPACITY, the longest reply a rule sends too

constexpr std::size_t RULES_FILE_CAPACITY = 65536;  // the largest rules file taken
constexpr std::size_t RULES_CAPACITY = 256;         // rules in one file
constexpr long LONGEST_DELAY_MS = 60000;
constexpr std::size_t LONGEST_PATTERN = 26;  // the longest message a command frame holds

// Why a file, or one of its lines, is refused.
constexpr const char* NO_ARROW = "no \" => \" between a pattern and an action";
constexpr const char* EMPTY_PATTERN = "empty pattern before \" => \"";
constexpr const char* UNKNOWN_ACTION = "unknown action: not reply TEXT, reply-hex HEX or no-reply";
constexpr const char* BAD_HEX = "reply-hex: not pairs of hex digits";
constexpr const char* BAD_DELAY = "delay: not a number of milliseconds (0 to 60000)";
constexpr const char* DELAYED_NO_REPLY = "delay before no-reply: only a reply can be delayed";
constexpr const char* REPLY_TOO_LONG = "reply of more than 1024 bytes";
constexpr const char* TOO_MANY_RULES = "more than 256 rules";
constexpr const char* LONE_CR =
    "carriage return without a line feed (save with CR LF or LF line ends)";
constexpr const char* APOSTROPHE =
    "apostrophe in the pattern's first 22 bytes: udpcmd sends it as \", so write \" there";
constexpr const char* ZERO_BYTE = "zero byte in the pattern: no command holds one";
constexpr const char* PATTERN_TOO_LONG =
    "pattern longer than 26 bytes, the longest message a command frame holds";
constexpr const char* FILE_TOO_LARGE = "larger than 65536 bytes";
constexpr const char* UTF16 = "UTF-16 text (Notepad's \"Unicode\"): save it as ANSI";
constexpr const char* NO_RULES = "no rules";

struct Rule {
  std::size_t line;     // its line in the file, counted from 1
  std::size_t pattern;  // its pattern's index in Rules::patterns
  std::size_t step;     // its place in the pattern's sequence, from 0
  bool replies;         // false for no-reply
  long delay_ms;
  std::size_t reply_at;  // the reply's bytes in Rules::bytes
  std::size_t reply_length;
};

struct RulePattern {
  std::size_t at;  // its bytes in Rules::bytes, without a final '*'
  std::size_t length;
  bool prefix;        // it ended in '*': it matches what begins with it
  std::size_t steps;  // rules with this pattern
  std::size_t used;   // the step that answers next, from 0; the last one stays
};

struct Rules {
  std::size_t count;
  Rule rules[RULES_CAPACITY];  // in file order
  std::size_t pattern_count;
  RulePattern patterns[RULES_CAPACITY];  // in the order of their first rule
  std::size_t bytes_used;
  unsigned char bytes[RULES_FILE_CAPACITY];  // patterns and replies; never more than the file
};

struct RulesError {
  std::size_t line;  // 0: the file as a whole
  const char* reason;
};

// Reads the rules in `text` (`length` bytes) into `rules`. Gives 1, or 0
// with the first line that is wrong and why in `error`.
int parse_rules(const unsigned char* text, std::size_t length, Rules* rules, RulesError* error);

// The rule that answers `message` now: the next step of the first pattern
// in the file that matches it; -1 when none matches. Changes nothing.
int rule_for(const Rules* rules, const unsigned char* message, std::size_t length);
// Moves the rule's sequence on to its next step: the rule answers (a
// delayed reply holds its step until it is sent).
void use_rule(Rules* rules, int rule);
// Gives the step back when the rule's delayed reply is not sent: the
// sequence's next command gets it.
void give_back_rule(Rules* rules, int rule);
