// libFuzzer target over the device's rules parser: any bytes as a rules
// file. A file taken must hold rules that make sense (their patterns can
// match a command, their bytes lie within the rules' own, their lines in
// file order), and each pattern's own bytes must choose a rule. A file
// refused must say why, and where within the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "rules.h"

namespace {

void broken(const char* property) {
  std::fprintf(stderr, "PROPERTY BROKEN: %s\n", property);
  std::abort();
}

void require(bool holds, const char* property) {
  if (!holds) {
    broken(property);
  }
}

Rules rules;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RulesError error;
  const std::size_t lines = static_cast<std::size_t>(std::count(data, data + size, '\n')) + 1;
  if (!parse_rules(data, size, &rules, &error)) {
    require(error.reason != nullptr && error.line <= lines, "a refusal says why, and where");
    return 0;
  }
  require(rules.count > 0 && rules.pattern_count <= rules.count, "a file taken holds rules");
  require(rules.bytes_used <= size, "the rules keep no more bytes than the file has");
  for (std::size_t at = 0; at < rules.count; ++at) {
    const Rule& rule = rules.rules[at];
    require(rule.line <= lines && (at == 0 || rule.line > rules.rules[at - 1].line),
            "rules in file order, each on a line of its own");
    require(rule.pattern < rules.pattern_count &&
                rule.reply_at + rule.reply_length <= rules.bytes_used &&
                rule.reply_length <= STAGED_REPLY_CAPACITY && rule.delay_ms <= LONGEST_DELAY_MS,
            "a rule's pattern, reply and delay within bounds");
  }
  for (std::size_t at = 0; at < rules.pattern_count; ++at) {
    const RulePattern& pattern = rules.patterns[at];
    const unsigned char* bytes = rules.bytes + pattern.at;
    require(pattern.length <= LONGEST_PATTERN && std::memchr(bytes, 0, pattern.length) == nullptr &&
                std::memchr(bytes, '\'', std::min(pattern.length, APOSTROPHE_SPAN)) == nullptr,
            "every pattern can match a command's message");
    require(rule_for(&rules, bytes, pattern.length) >= 0, "a pattern's own bytes choose a rule");
  }
  return 0;
}
