#include "rules.h"

#include <cstring>

namespace {

constexpr char ARROW[] = " => ";
constexpr std::size_t ARROW_LENGTH = sizeof ARROW - 1;
constexpr std::size_t DELAY_DIGITS = 5;  // 60000; longer is out of range

constexpr const char* NO_ARROW = "no \" => \" between a pattern and an action";
constexpr const char* EMPTY_PATTERN = "empty pattern before \" => \"";
constexpr const char* UNKNOWN_ACTION = "unknown action: not reply TEXT, reply-hex HEX or no-reply";
constexpr const char* BAD_HEX = "reply-hex: not pairs of hex digits";
constexpr const char* BAD_DELAY = "delay: not a number of milliseconds (0 to 60000)";
constexpr const char* DELAYED_NO_REPLY = "delay before no-reply: only a reply can be delayed";
constexpr const char* TOO_LONG = "reply of more than 1024 bytes";
constexpr const char* TOO_MANY = "more than 256 rules";
constexpr const char* TOO_LARGE = "larger than 65536 bytes";

// A run of bytes in the text.
struct Span {
  const unsigned char* at;
  std::size_t length;
};

bool blank(unsigned char c) { return c == ' ' || c == '\t'; }

Span after(Span span, std::size_t count) {
  const std::size_t taken = count < span.length ? count : span.length;
  return Span{span.at + taken, span.length - taken};
}

Span without_blanks_before(Span span) {
  std::size_t count = 0;
  while (count < span.length && blank(span.at[count])) {
    ++count;
  }
  return after(span, count);
}

Span trimmed(Span span) {
  span = without_blanks_before(span);
  while (span.length > 0 && blank(span.at[span.length - 1])) {
    --span.length;
  }
  return span;
}

// The span's first word: up to a blank or its end.
Span first_word(Span span) {
  std::size_t length = 0;
  while (length < span.length && !blank(span.at[length])) {
    ++length;
  }
  return Span{span.at, length};
}

bool spells(Span span, const char* word) {
  return span.length == std::strlen(word) && std::memcmp(span.at, word, span.length) == 0;
}

bool equal(Span span, const unsigned char* bytes, std::size_t length) {
  return span.length == length && std::memcmp(span.at, bytes, length) == 0;
}

// Where " => " first stands in the line, or nullptr.
const unsigned char* find_arrow(Span line) {
  for (std::size_t at = 0; at + ARROW_LENGTH <= line.length; ++at) {
    if (std::memcmp(line.at + at, ARROW, ARROW_LENGTH) == 0) {
      return line.at + at;
    }
  }
  return nullptr;
}

bool read_delay(Span digits, long* delay_ms) {
  char text[DELAY_DIGITS + 1];
  if (digits.length == 0 || digits.length > DELAY_DIGITS) {
    return false;
  }
  std::memcpy(text, digits.at, digits.length);
  text[digits.length] = 0;
  return number_in(text, 0, LONGEST_DELAY_MS, delay_ms);
}

// Copies `span` into the rules' own bytes; gives where it starts. A line
// keeps no more bytes than it has, so the file's capacity is room enough.
std::size_t keep(Rules* rules, Span span) {
  const std::size_t at = rules->bytes_used;
  std::memcpy(rules->bytes + at, span.at, span.length);
  rules->bytes_used += span.length;
  return at;
}

// The reply of "reply TEXT" or "reply-hex HEX"; `rest` follows the word.
const char* take_reply(bool hex, Span rest, Rule* rule, Rules* rules) {
  rule->reply_at = rules->bytes_used;
  if (hex) {
    const long length = hex_bytes(reinterpret_cast<const char*>(rest.at), rest.length,
                                  rules->bytes + rule->reply_at, STAGED_REPLY_CAPACITY);
    if (length < 0) {
      return length == HEX_TOO_LONG ? TOO_LONG : BAD_HEX;
    }
    rule->reply_length = static_cast<std::size_t>(length);
    rules->bytes_used += rule->reply_length;
    return nullptr;
  }
  const Span text = after(rest, 1);  // everything after "reply "
  if (text.length > STAGED_REPLY_CAPACITY) {
    return TOO_LONG;
  }
  rule->reply_length = text.length;
  keep(rules, text);
  return nullptr;
}

// "[delay MS ]reply TEXT", "[delay MS ]reply-hex HEX" or "no-reply".
const char* take_action(Span action, Rule* rule, Rules* rules) {
  action = without_blanks_before(action);
  Span word = first_word(action);
  const bool delayed = spells(word, "delay");
  if (delayed) {
    action = without_blanks_before(after(action, word.length));
    const Span digits = first_word(action);
    if (!read_delay(digits, &rule->delay_ms)) {
      return BAD_DELAY;
    }
    action = without_blanks_before(after(action, digits.length));
    word = first_word(action);
  }
  const Span rest = after(action, word.length);
  if (spells(word, "no-reply")) {
    rule->replies = false;
    return delayed ? DELAYED_NO_REPLY : trimmed(rest).length > 0 ? UNKNOWN_ACTION : nullptr;
  }
  if (spells(word, "reply") || spells(word, "reply-hex")) {
    return take_reply(spells(word, "reply-hex"), rest, rule, rules);
  }
  return UNKNOWN_ACTION;
}

// The index of the pattern, added when it is new.
std::size_t pattern_of(Span text, Rules* rules) {
  const bool prefix = text.at[text.length - 1] == '*';
  const Span bytes = Span{text.at, text.length - (prefix ? 1 : 0)};
  for (std::size_t index = 0; index < rules->pattern_count; ++index) {
    const RulePattern& known = rules->patterns[index];
    if (known.prefix == prefix && equal(bytes, rules->bytes + known.at, known.length)) {
      return index;
    }
  }
  rules->patterns[rules->pattern_count] =
      RulePattern{keep(rules, bytes), bytes.length, prefix, 0, 0};
  return rules->pattern_count++;
}

// One line, without its line end; gives why it is wrong, or nullptr.
const char* take_line(Span line, std::size_t number, Rules* rules) {
  if ((line.length > 0 && line.at[0] == '#') || trimmed(line).length == 0) {
    return nullptr;  // a comment, or blank
  }
  const unsigned char* arrow = find_arrow(line);
  if (arrow == nullptr) {
    return NO_ARROW;
  }
  const Span pattern = trimmed(Span{line.at, static_cast<std::size_t>(arrow - line.at)});
  if (pattern.length == 0) {
    return EMPTY_PATTERN;
  }
  if (rules->count == RULES_CAPACITY) {
    return TOO_MANY;
  }
  Rule rule = {number, 0, true, 0, 0, 0};
  const std::size_t action_at = static_cast<std::size_t>(arrow - line.at) + ARROW_LENGTH;
  const char* reason = take_action(after(line, action_at), &rule, rules);
  if (reason != nullptr) {
    return reason;
  }
  rule.pattern = pattern_of(pattern, rules);
  ++rules->patterns[rule.pattern].steps;
  rules->rules[rules->count++] = rule;
  return nullptr;
}

bool matches(const RulePattern& pattern, const unsigned char* bytes, const unsigned char* message,
             std::size_t length) {
  if (pattern.prefix ? length < pattern.length : length != pattern.length) {
    return false;
  }
  return std::memcmp(bytes + pattern.at, message, pattern.length) == 0;
}

}  // namespace

int parse_rules(const unsigned char* text, std::size_t length, Rules* rules, RulesError* error) {
  rules->count = 0;
  rules->pattern_count = 0;
  rules->bytes_used = 0;
  *error = RulesError{0, nullptr};
  if (length > RULES_FILE_CAPACITY) {
    error->reason = TOO_LARGE;
    return 0;
  }
  std::size_t number = 0;
  for (std::size_t start = 0; start < length;) {
    const unsigned char* end =
        static_cast<const unsigned char*>(std::memchr(text + start, '\n', length - start));
    const std::size_t next = end != nullptr ? static_cast<std::size_t>(end - text) + 1 : length;
    Span line = Span{text + start, (end != nullptr ? next - 1 : next) - start};
    if (end != nullptr && line.length > 0 && line.at[line.length - 1] == '\r') {
      --line.length;
    }
    error->reason = take_line(line, ++number, rules);
    if (error->reason != nullptr) {
      error->line = number;
      return 0;
    }
    start = next;
  }
  return 1;
}

int rule_for(const Rules* rules, const unsigned char* message, std::size_t length) {
  for (std::size_t index = 0; index < rules->pattern_count; ++index) {
    const RulePattern& pattern = rules->patterns[index];
    if (!matches(pattern, rules->bytes, message, length)) {
      continue;
    }
    std::size_t step = pattern.used;
    for (std::size_t rule = 0; rule < rules->count; ++rule) {
      if (rules->rules[rule].pattern == index && step-- == 0) {
        return static_cast<int>(rule);
      }
    }
  }
  return -1;
}

void use_rule(Rules* rules, int rule) {
  RulePattern& pattern = rules->patterns[rules->rules[rule].pattern];
  if (pattern.used + 1 < pattern.steps) {
    ++pattern.used;
  }
}
