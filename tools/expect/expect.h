// udpcmd-expect: one udpcmd run, bounded in time, judged by its report.
// expect.cpp reads the arguments, judges the report and says so; child.cpp
// is the only code that knows which platform it is on: it finds udpcmd,
// runs it and ends it.
#pragma once

#include <cstddef>

// How the platform ends a line of text: udpcmd's report in a pipe has the
// same line ends as this program's own lines.
#ifdef _WIN32
constexpr char NEWLINE[] = "\r\n";
#else
constexpr char NEWLINE[] = "\n";
#endif

// The line said before a bad argument is named.
constexpr const char* USAGE = "usage: udpcmd-expect SECONDS COMMAND [REPLY]";

enum class Ended { EXITED, TIMED_OUT, NOT_STARTED };

struct Child {
  Ended ended;
  // EXITED: udpcmd's exit status (1 after a completed exchange), and how
  // the system gave it ("ERRORLEVEL -1", "status 255", "signal 9").
  // NOT_STARTED: the program that could not be started, why, and the
  // system's code.
  long status;
  char how[64];
  char program[512];
  char why[160];
};

// Standard output: the start of udpcmd's report as passed on (about 300
// bytes are its most), and whether any write failed.
struct Output {
  char report[2048];
  std::size_t kept;
  bool failed;
};

// Sets up standard output for the bytes of udpcmd's report, passed on
// unchanged (no line-end translation; no signal when nobody reads it).
void prepare_output();
// Writes bytes to standard output and flushes them; gives 0 when it could not.
int write_out(const char* bytes, std::size_t count);
// Called by run_udpcmd with each piece of udpcmd's output as it comes.
void pass_on(Output* output, const char* bytes, std::size_t count);

// Runs the udpcmd in this program's own folder with `command` as its only
// argument, its output going to pass_on, for at most `seconds`; ends it then.
// Ctrl+C, or a signal that ends this program, ends that udpcmd too.
Child run_udpcmd(const char* argv0, const char* command, unsigned long seconds, Output* output);
