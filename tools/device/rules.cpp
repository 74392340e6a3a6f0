#include "rules.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "frame/frame.h"

namespace {

using std::string_view;

constexpr string_view ARROW = " => ";
constexpr string_view BLANKS = " \t";
constexpr string_view UTF8_MARK = "\xEF\xBB\xBF";
constexpr string_view UTF16_MARKS[] = {"\xFF\xFE", "\xFE\xFF"};
constexpr std::size_t DELAY_DIGITS = 5;  // 60000; more digits are refused, zeros too
// The longest message: the frame's header, end of text and trailer around
// it, and an empty checksum field.
static_assert(LONGEST_PATTERN == FRAME_CAPACITY - 1 - (sizeof FRAME_HEADER - 1) - 2 &&
                  APOSTROPHE_SPAN == 22,
              "the numbers in the reasons");

// The first `count` bytes of `text` (all of it when shorter), and what
// follows them. string_view's own substr would bring the C++ library's
// exceptions into the program for a check these never need.
string_view head(string_view text, std::size_t count) {
  return {text.data(), std::min(count, text.size())};
}

string_view after(string_view text, std::size_t count) {
  text.remove_prefix(std::min(count, text.size()));
  return text;
}

string_view without_blanks_before(string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(BLANKS), text.size()));
  return text;
}

string_view trimmed(string_view text) {
  text = without_blanks_before(text);
  return head(text, text.find_last_not_of(BLANKS) + 1);  // npos + 1 is 0
}

// The text's first word: up to a blank or its end.
string_view first_word(string_view text) { return head(text, text.find_first_of(BLANKS)); }

// Copies `text` into the rules' own bytes; gives where it starts. A line
// keeps no more bytes than it has, so the file's capacity is room enough.
std::size_t keep(Rules* rules, string_view text) {
  const std::size_t at = rules->bytes_used;
  std::memcpy(rules->bytes + at, text.data(), text.size());
  rules->bytes_used += text.size();
  return at;
}

// The reply of "reply TEXT" or "reply-hex HEX"; `rest` follows the word.
const char* take_reply(bool hex, string_view rest, Rule* rule, Rules* rules) {
  rule->reply_at = rules->bytes_used;
  if (hex) {
    const long length = hex_bytes(rest, rules->bytes + rule->reply_at, STAGED_REPLY_CAPACITY);
    if (length < 0) {
      return length == HEX_TOO_LONG ? REPLY_TOO_LONG : BAD_HEX;
    }
    rule->reply_length = static_cast<std::size_t>(length);
    rules->bytes_used += rule->reply_length;
    return nullptr;
  }
  const string_view text = after(rest, 1);  // after "reply "
  if (text.size() > STAGED_REPLY_CAPACITY) {
    return REPLY_TOO_LONG;
  }
  rule->reply_length = text.size();
  keep(rules, text);
  return nullptr;
}

// "[delay MS ]reply TEXT", "[delay MS ]reply-hex HEX" or "no-reply".
const char* take_action(string_view action, Rule* rule, Rules* rules) {
  action = without_blanks_before(action);
  string_view word = first_word(action);
  const bool delayed = word == "delay";
  if (delayed) {
    action = without_blanks_before(after(action, word.size()));
    const string_view digits = first_word(action);
    if (digits.size() > DELAY_DIGITS || !number_in(digits, 0, LONGEST_DELAY_MS, &rule->delay_ms)) {
      return BAD_DELAY;
    }
    action = without_blanks_before(after(action, digits.size()));
    word = first_word(action);
  }
  const string_view rest = after(action, word.size());
  if (word == "no-reply") {
    rule->replies = false;
    return delayed ? DELAYED_NO_REPLY : trimmed(rest).empty() ? nullptr : UNKNOWN_ACTION;
  }
  if (word == "reply" || word == "reply-hex") {
    return take_reply(word == "reply-hex", rest, rule, rules);
  }
  return UNKNOWN_ACTION;
}

// Why no command's message can ever match `bytes`, or nullptr.
const char* never_matches(string_view bytes) {
  if (bytes.find('\0') != string_view::npos) {
    return ZERO_BYTE;
  }
  if (head(bytes, APOSTROPHE_SPAN).find('\'') != string_view::npos) {
    return APOSTROPHE;
  }
  return bytes.size() > LONGEST_PATTERN ? PATTERN_TOO_LONG : nullptr;
}

// The index of the pattern, added when it is new.
std::size_t pattern_of(string_view bytes, bool prefix, Rules* rules) {
  for (std::size_t index = 0; index < rules->pattern_count; ++index) {
    const RulePattern& known = rules->patterns[index];
    if (known.prefix == prefix && bytes.size() == known.length &&
        std::memcmp(bytes.data(), rules->bytes + known.at, known.length) == 0) {
      return index;
    }
  }
  RulePattern& added = rules->patterns[rules->pattern_count];
  added = RulePattern{};
  added.at = keep(rules, bytes);
  added.length = bytes.size();
  added.prefix = prefix;
  return rules->pattern_count++;
}

// One line, without its line end; gives why it is wrong, or nullptr.
const char* take_line(string_view line, std::size_t number, Rules* rules) {
  if (line.find('\r') != string_view::npos) {
    return LONE_CR;
  }
  const string_view content = without_blanks_before(line);
  if (content.empty() || content.front() == '#') {
    return nullptr;  // blank, or a comment
  }
  const std::size_t arrow = line.find(ARROW);
  if (arrow == string_view::npos) {
    return NO_ARROW;
  }
  string_view pattern = trimmed(head(line, arrow));
  if (pattern.empty()) {
    return EMPTY_PATTERN;
  }
  const bool prefix = pattern.back() == '*';
  pattern.remove_suffix(prefix ? 1 : 0);
  const char* reason = never_matches(pattern);
  if (reason != nullptr) {
    return reason;
  }
  if (rules->count == RULES_CAPACITY) {
    return TOO_MANY_RULES;
  }
  Rule rule{};
  rule.line = number;
  rule.replies = true;
  reason = take_action(after(line, arrow + ARROW.size()), &rule, rules);
  if (reason != nullptr) {
    return reason;
  }
  rule.pattern = pattern_of(pattern, prefix, rules);
  rule.step = rules->patterns[rule.pattern].steps++;
  rules->rules[rules->count++] = rule;
  return nullptr;
}

// Reads the lines of `text`, a file without its byte order mark.
int parse_lines(string_view text, Rules* rules, RulesError* error) {
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    string_view line = head(text, end);
    text.remove_prefix(end == string_view::npos ? text.size() : end + 1);
    if (end != string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    error->line = ++number;
    error->reason = take_line(line, number, rules);
    if (error->reason != nullptr) {
      return 0;
    }
  }
  *error = RulesError{};
  return 1;
}

}  // namespace

int parse_rules(const unsigned char* text, std::size_t length, Rules* rules, RulesError* error) {
  rules->count = 0;
  rules->pattern_count = 0;
  rules->bytes_used = 0;
  *error = RulesError{};
  string_view file(reinterpret_cast<const char*>(text), length);
  if (length > RULES_FILE_CAPACITY) {
    error->reason = FILE_TOO_LARGE;
  } else if (std::any_of(std::begin(UTF16_MARKS), std::end(UTF16_MARKS),
                         [file](string_view mark) { return head(file, 2) == mark; })) {
    error->reason = UTF16;
  } else if (head(file, UTF8_MARK.size()) == UTF8_MARK) {
    file.remove_prefix(UTF8_MARK.size());  // Notepad's "UTF-8"
  }
  if (error->reason != nullptr || !parse_lines(file, rules, error)) {
    return 0;
  }
  if (rules->count == 0) {
    error->reason = NO_RULES;
    return 0;
  }
  return 1;
}

int rule_for(const Rules* rules, const unsigned char* message, std::size_t length) {
  for (std::size_t index = 0; index < rules->pattern_count; ++index) {
    const RulePattern& pattern = rules->patterns[index];
    const bool fits = pattern.prefix ? length >= pattern.length : length == pattern.length;
    if (!fits || std::memcmp(rules->bytes + pattern.at, message, pattern.length) != 0) {
      continue;
    }
    for (std::size_t rule = 0; rule < rules->count; ++rule) {
      if (rules->rules[rule].pattern == index && rules->rules[rule].step == pattern.used) {
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

void give_back_rule(Rules* rules, int rule) {
  const Rule& given = rules->rules[rule];
  RulePattern& pattern = rules->patterns[given.pattern];
  pattern.used = std::min(pattern.used, given.step);
}
