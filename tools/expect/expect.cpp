// udpcmd-expect SECONDS COMMAND [REPLY]: sends COMMAND with the udpcmd beside
// it, waits at most SECONDS for it to end, and tells in its exit status, and
// in its last line, whether the exchange went as expected. udpcmd's report
// passes through unchanged as it comes.
#include "expect.h"

// (No std::string_view member that can throw: out of range, libstdc++'s
// exception path would bring the printf family and threads into the exe.)
#include <cstring>
#include <string_view>

#include "app/report.h"
#include "text/line.h"

namespace {

// The statuses, chosen for `if errorlevel N` (N or more).
enum Status {
  AS_EXPECTED = 0,
  ANOTHER_REPLY = 1,  // or nothing awaited while a reply was
  NO_REPLY_IN_TIME = 2,
  UDPCMD_FAILED = 3,  // or not started
  BAD_USAGE = 4,
};

constexpr unsigned long MOST_SECONDS = 86400;
constexpr char SELF[] = "udpcmd-expect: ";

void say(Output* output, Line* line) {
  append_text(line, NEWLINE);
  output->failed |= write_out(line->text, line->length) == 0;
}

// One line: SELF, then the texts and values given (a null text is skipped).
void say(Output* output, const char* a, const char* b = nullptr, const char* c = nullptr,
         const char* d = nullptr, const char* e = nullptr) {
  char area[1024];
  Line line = line_in(area, sizeof area);
  append_text(&line, SELF);
  for (const char* text : {a, b, c, d, e}) {
    if (text != nullptr) {
      append_text(&line, text);
    }
  }
  say(output, &line);
}

int bad_usage(Output* output, const char* what, const char* given = nullptr) {
  char area[128];
  Line usage = line_in(area, sizeof area);
  append_text(&usage, USAGE);
  say(output, &usage);
  say(output, "BAD ARGUMENT: ", what, given ? " \"" : nullptr, given, given ? "\"" : nullptr);
  return BAD_USAGE;
}

// A whole number from 1 to MOST_SECONDS, in decimal digits only.
bool read_seconds(const char* text, unsigned long* seconds) {
  *seconds = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') {
      return false;
    }
    *seconds = *seconds * 10 + static_cast<unsigned long>(*digit - '0');
    if (*seconds > MOST_SECONDS) {
      return false;
    }
  }
  return *seconds >= 1;
}

bool matches(std::string_view reply, std::string_view expected) {
  if (!expected.empty() && expected.back() == '*') {
    expected.remove_suffix(1);
    return reply.rfind(expected, 0) == 0;  // begins with it
  }
  return reply == expected;
}

// Takes `suffix` off the end of `text` when it ends with it.
bool cut_suffix(std::string_view* text, std::string_view suffix) {
  if (text->size() < suffix.size() ||
      std::string_view(text->end() - suffix.size(), suffix.size()) != suffix) {
    return false;
  }
  text->remove_suffix(suffix.size());
  return true;
}

// What a completed run of udpcmd showed: a reply (the text after the data
// line's start, up to the line end before the closing rule), nothing
// awaited, or neither when the report is not one of udpcmd's. A command
// cannot hold a line end and the data line's start (no frame fits it), so
// the first of those is the data line's.
enum class Shown { REPLY, NOTHING_AWAITED, NEITHER };

Shown shown(const Output& output, std::string_view* reply) {
  char area[128];
  Line closing = line_in(area, sizeof area);
  append_text(&closing, NEWLINE);
  for (const char* text = CLOSING_TEXT; *text != '\0'; ++text) {
    if (*text == '\n') {
      append_text(&closing, NEWLINE);
    } else {
      append_bytes(&closing, reinterpret_cast<const unsigned char*>(text), 1);
    }
  }
  append_text(&closing, NEWLINE);
  std::string_view body(output.report, output.kept);
  if (!cut_suffix(&body, {closing.text, closing.length})) {
    return Shown::NEITHER;
  }
  std::string_view rest = body;
  if (cut_suffix(&rest, NO_REPLY_TEXT) && cut_suffix(&rest, NEWLINE)) {
    return Shown::NOTHING_AWAITED;
  }
  char marker_area[64];
  Line marker = line_in(marker_area, sizeof marker_area);
  append_text(&marker, NEWLINE);
  append_text(&marker, DATA_LINE_START);
  const std::size_t found = body.find({marker.text, marker.length});
  if (found == std::string_view::npos) {
    return Shown::NEITHER;
  }
  body.remove_prefix(found + marker.length);
  *reply = body;
  return Shown::REPLY;
}

// The verdict on a run that ended by itself, in its last line.
int judged(Output* output, const Child& child, const char* expected) {
  if (child.status != 1) {
    say(output, "UDPCMD FAILED (", child.how, "): its last line, above, says why");
    return UDPCMD_FAILED;
  }
  std::string_view reply;
  const Shown what = shown(*output, &reply);
  if (what == Shown::NEITHER) {
    say(output, "UDPCMD FAILED: its report is not one udpcmd writes");
    return UDPCMD_FAILED;
  }
  if (what == Shown::NOTHING_AWAITED) {
    if (expected == nullptr) {
      say(output, "sent; nothing awaited: the frame has no at sign, or an asterisk");
      return AS_EXPECTED;
    }
    say(output, "NOTHING AWAITED, not \"", expected,
        "\": the frame has no at sign, or an asterisk");
    return ANOTHER_REPLY;
  }
  char area[1024];
  Line line = line_in(area, sizeof area);
  append_text(&line, SELF);
  const bool as_expected = expected == nullptr || matches(reply, expected);
  append_text(&line, as_expected ? "reply as expected: \"" : "ANOTHER REPLY: \"");
  append_bytes(&line, reinterpret_cast<const unsigned char*>(reply.data()), reply.size());
  append_text(&line, "\"");
  if (!as_expected) {
    append_text(&line, ", not \"");
    append_text(&line, expected);
    append_text(&line, "\"");
  }
  say(output, &line);
  return as_expected ? AS_EXPECTED : ANOTHER_REPLY;
}

}  // namespace

void pass_on(Output* output, const char* bytes, std::size_t count) {
  const std::size_t room = sizeof output->report - output->kept;
  const std::size_t taken = count < room ? count : room;
  std::memcpy(output->report + output->kept, bytes, taken);
  output->kept += taken;
  output->failed |= write_out(bytes, count) == 0;
}

int main(int argc, char** argv) {
  prepare_output();
  Output output = {};
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    char area[64];
    Line line = line_in(area, sizeof area);
    append_text(&line, "udpcmd-expect " UDPCMD_VERSION);
    say(&output, &line);
    return output.failed ? UDPCMD_FAILED : AS_EXPECTED;
  }
  unsigned long seconds = 0;
  if (argc < 3) {
    return bad_usage(&output, "SECONDS and COMMAND are needed");
  }
  if (argc > 4) {
    return bad_usage(&output,
                     "more than SECONDS, COMMAND and REPLY (one with spaces goes in quotes)");
  }
  if (!read_seconds(argv[1], &seconds)) {
    return bad_usage(&output, "SECONDS is a whole number from 1 to 86400, not", argv[1]);
  }
  const Child child = run_udpcmd(argv[0], argv[2], seconds, &output);
  int status = UDPCMD_FAILED;
  if (child.ended == Ended::NOT_STARTED) {
    say(&output, "UDPCMD NOT STARTED: ", child.program, ": ", child.why);
  } else if (child.ended == Ended::TIMED_OUT) {
    char area[64];
    Line line = line_in(area, sizeof area);
    append_text(&line, SELF);
    append_text(&line, "NO REPLY within ");
    append_unsigned(&line, seconds);
    append_text(&line, " s: udpcmd was ended");
    say(&output, &line);
    status = NO_REPLY_IN_TIME;
  } else {
    status = judged(&output, child, argc == 4 ? argv[3] : nullptr);
  }
  // A report that could not be written is a failure, as it is udpcmd's.
  return output.failed ? UDPCMD_FAILED : status;
}
