// The one udpcmd that a run starts: found in this program's own folder (not
// on PATH), given the command as its only argument, its standard output a
// pipe read as it fills, and ended when the time is up or this program is
// stopped. Waits on the pipe and the process themselves, never in steps.
#include <cstdio>
#include <cstring>

#include "expect.h"
#include "text/line.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#endif

namespace {

constexpr std::size_t PIECE = 512;  // the most of udpcmd's output one read takes

Child not_started(const Child& so_far, const char* why, long code) {
  Child child = so_far;
  child.ended = Ended::NOT_STARTED;
  Line line = line_in(child.why, sizeof child.why);
  append_text(&line, why);
  append_text(&line, " (error ");
  append_signed(&line, code);
  append_text(&line, ")");
  line.text[line.length] = '\0';
  return child;
}

void set_how(Child* child, const char* what, long value) {
  Line line = line_in(child->how, sizeof child->how);
  append_text(&line, what);
  append_signed(&line, value);
  line.text[line.length] = '\0';
}

// The path of `name` in the folder of `self`, in child->program; false when
// it does not fit.
bool beside(Child* child, const char* self, std::size_t length, const char* name) {
  std::size_t folder = length;
  while (folder > 0 && self[folder - 1] != '/' && self[folder - 1] != '\\') {
    --folder;
  }
  if (folder == 0 || folder + std::strlen(name) >= sizeof child->program) {
    return false;
  }
  std::memcpy(child->program, self, folder);
  std::memcpy(child->program + folder, name, std::strlen(name) + 1);
  return true;
}

}  // namespace

int write_out(const char* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, stdout) == count && std::fflush(stdout) == 0;
}

#ifdef _WIN32

namespace {

// udpcmd's command line: its path in quotes, then the command quoted so that
// msvcrt's splitting gives it back byte for byte: a run of backslashes is
// doubled before a quotation mark (which is then escaped) and before the
// closing quotation mark, and left alone elsewhere.
constexpr std::size_t COMMAND_LINE = 32768;  // CreateProcess takes no more

bool quoted(char* command_line, const char* program, const char* command) {
  Line line = line_in(command_line, COMMAND_LINE);
  append_text(&line, "\"");
  append_text(&line, program);
  append_text(&line, "\" \"");
  std::size_t backslashes = 0;
  for (const char* c = command;; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    const bool quote = *c == '"';
    const bool end = *c == '\0';
    for (std::size_t i = 0; i < (quote || end ? 2 * backslashes : backslashes); ++i) {
      append_text(&line, "\\");
    }
    backslashes = 0;
    if (end) {
      break;
    }
    append_text(&line, quote ? "\\\"" : "");
    if (!quote) {
      append_bytes(&line, reinterpret_cast<const unsigned char*>(c), 1);
    }
  }
  append_text(&line, "\"");
  if (line.length + 1 >= COMMAND_LINE) {
    return false;  // cut short
  }
  command_line[line.length] = '\0';
  return true;
}

Child system_error(const Child& child, const char* doing) {
  const DWORD code = GetLastError();
  char words[128] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                 words, sizeof words, nullptr);
  std::size_t length = std::strlen(words);
  while (length > 0 && (words[length - 1] == '\r' || words[length - 1] == '\n' ||
                        words[length - 1] == ' ' || words[length - 1] == '.')) {
    words[--length] = '\0';
  }
  char area[160];
  Line line = line_in(area, sizeof area);
  append_text(&line, doing);
  append_text(&line, words);
  line.text[line.length] = '\0';
  return not_started(child, area, static_cast<long>(code));
}

// The udpcmd running, for the console handler: Ctrl+C, Ctrl+Break or the
// window closing end it, then this program as usual. A handler has no other
// way to it.
HANDLE volatile running = nullptr;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

BOOL WINAPI on_console_event(DWORD /*event*/) {
  if (running != nullptr) {
    TerminateProcess(running, 1);
  }
  return FALSE;
}

// A pipe whose reading end can be waited on (an anonymous pipe cannot be
// read overlapped): one instance of a named pipe of this process's own.
bool make_pipe(HANDLE* reader, HANDLE* writer) {
  char name[96];
  Line line = line_in(name, sizeof name);
  append_text(&line, R"(\\.\pipe\udpcmd-expect-)");
  append_unsigned(&line, GetCurrentProcessId());
  append_text(&line, "-");
  append_unsigned(&line, GetTickCount());
  name[line.length] = '\0';
  constexpr DWORD FIRST_INSTANCE = 0x00080000;  // FILE_FLAG_FIRST_PIPE_INSTANCE
  *reader = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FIRST_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, PIECE, 0, nullptr);
  if (*reader == INVALID_HANDLE_VALUE) {
    return false;
  }
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  *writer = CreateFileA(name, GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  return *writer != INVALID_HANDLE_VALUE;
}

// A job that ends udpcmd when its last handle closes, which is when this
// program ends, however it ends.
HANDLE job_that_ends_udpcmd() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) {
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  return job;
}

// Starts a read of the pipe; false when the pipe has ended (udpcmd's end
// is closed).
bool start_read(HANDLE reader, char* piece, OVERLAPPED* read) {
  return ReadFile(reader, piece, PIECE, nullptr, read) || GetLastError() == ERROR_IO_PENDING;
}

// Starts udpcmd with its output into `writer`, in `job` (where it can be).
bool started(const Child& child, char* command_line, HANDLE writer, HANDLE job,
             PROCESS_INFORMATION* process) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writer;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // Out of any job this program is in, where that job allows it: before
  // Windows 8 a process belongs to one job at most.
  DWORD flags = CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB;
  BOOL made = CreateProcessA(child.program, command_line, nullptr, nullptr, TRUE, flags, nullptr,
                             nullptr, &startup, process);
  if (!made && GetLastError() == ERROR_ACCESS_DENIED) {
    flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    made = CreateProcessA(child.program, command_line, nullptr, nullptr, TRUE, flags, nullptr,
                          nullptr, &startup, process);
  }
  if (!made) {
    return false;
  }
  running = process->hProcess;
  if (job != nullptr) {
    AssignProcessToJobObject(job, process->hProcess);  // else the handler still ends it
  }
  ResumeThread(process->hThread);
  CloseHandle(process->hThread);
  return true;
}

// Passes udpcmd's output on until udpcmd has ended and its output with it,
// or the time is up: then ends it. Gives whether it ended by itself.
bool watched(HANDLE process, HANDLE reader, unsigned long seconds, Output* output) {
  OVERLAPPED read = {};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char piece[PIECE];
  bool reading = read.hEvent != nullptr && start_read(reader, piece, &read);
  bool exited = false;
  const DWORD allowed = static_cast<DWORD>(seconds * 1000);
  const DWORD began = GetTickCount();
  DWORD got = 0;
  while (reading || !exited) {
    const DWORD spent = GetTickCount() - began;
    HANDLE events[2];
    DWORD count = 0;
    if (reading) {
      events[count++] = read.hEvent;  // first: the output before the end
    }
    if (!exited) {
      events[count++] = process;
    }
    const DWORD woken = spent < allowed
                            ? WaitForMultipleObjects(count, events, FALSE, allowed - spent)
                            : WAIT_TIMEOUT;
    if (woken == WAIT_TIMEOUT || woken >= WAIT_OBJECT_0 + count) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, INFINITE);
      // Its handles closed with it: a read still pending ends now, before
      // `piece` and `read` go.
      if (reading) {
        GetOverlappedResult(reader, &read, &got, TRUE);
      }
      return false;
    }
    if (events[woken - WAIT_OBJECT_0] == process) {
      exited = true;
      continue;
    }
    reading = GetOverlappedResult(reader, &read, &got, FALSE) != 0;
    if (reading) {
      pass_on(output, piece, got);
      reading = start_read(reader, piece, &read);
    }
  }
  return true;
}

}  // namespace

void prepare_output() { _setmode(_fileno(stdout), _O_BINARY); }

Child run_udpcmd(const char* /*argv0*/, const char* command, unsigned long seconds,
                 Output* output) {
  Child child = {};
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self || !beside(&child, self, length, "udpcmd.exe")) {
    return system_error(child, "this program's own path: ");
  }
  static char command_line[COMMAND_LINE];
  if (!quoted(command_line, child.program, command)) {
    return not_started(child, "the command is too long for a command line", 0);
  }
  HANDLE reader = INVALID_HANDLE_VALUE;
  HANDLE writer = INVALID_HANDLE_VALUE;
  if (!make_pipe(&reader, &writer)) {
    return system_error(child, "no pipe for its output: ");
  }
  HANDLE job = job_that_ends_udpcmd();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  PROCESS_INFORMATION process = {};
  if (!started(child, command_line, writer, job, &process)) {
    return system_error(child, "");
  }
  CloseHandle(writer);  // udpcmd's end is udpcmd's alone: the pipe ends with it
  child.ended =
      watched(process.hProcess, reader, seconds, output) ? Ended::EXITED : Ended::TIMED_OUT;
  running = nullptr;
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  child.status = static_cast<long>(static_cast<int>(status));
  set_how(&child, "ERRORLEVEL ", child.status);
  return child;
}

#else

namespace {

// The udpcmd running, for the signal handler, which has no other way to it.
volatile sig_atomic_t running = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A signal that ends this program ends udpcmd first.
void end_both(int number) {
  if (running > 0) {
    kill(running, SIGKILL);
    (void)waitpid(running, nullptr, 0);  // gone before this process is
  }
  (void)signal(number, SIG_DFL);
  (void)raise(number);
}

long milliseconds_now() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

Child spawned(Child child, const char* command, int output[2], pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t ending;
  sigset_t before;
  sigset_t none;
  sigemptyset(&ending);
  sigemptyset(&none);
  for (const int number : ENDING_SIGNALS) {
    sigaddset(&ending, number);
    (void)signal(number, end_both);
  }
  // udpcmd starts with these signals' default actions, none blocked. (It
  // sets SIGPIPE aside itself.)
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &ending);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  // posix_spawn takes char* arguments, and changes none of them.
  char* arguments[] = {child.program,
                       const_cast<char*>(command),  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                       nullptr};
  // No signal between the start and `running` set: udpcmd would be left.
  sigprocmask(SIG_BLOCK, &ending, &before);
  const int error = posix_spawn(pid, child.program, &actions, &attributes, arguments, environ);
  if (error == 0) {
    running = *pid;
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(output[1]);
  return error == 0 ? child : not_started(child, std::strerror(error), error);
}

}  // namespace

void prepare_output() { (void)signal(SIGPIPE, SIG_IGN); }

Child run_udpcmd(const char* argv0, const char* command, unsigned long seconds, Output* output) {
  Child child = {};
  char self[512];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof self) {
    // No /proc: the folder it was started from.
    length = static_cast<ssize_t>(strnlen(argv0, sizeof self - 1));
    std::memcpy(self, argv0, static_cast<std::size_t>(length));
  }
  if (!beside(&child, self, static_cast<std::size_t>(length), "udpcmd")) {
    return not_started(child, "this program's own folder is not known", 0);
  }
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return not_started(child, std::strerror(errno), errno);
  }
  pid_t pid = 0;
  child = spawned(child, command, pipe_ends, &pid);
  if (child.ended == Ended::NOT_STARTED) {
    close(pipe_ends[0]);
    return child;
  }
  const long deadline = milliseconds_now() + static_cast<long>(seconds) * 1000L;
  child.ended = Ended::EXITED;
  char piece[PIECE];
  for (;;) {
    const long left = deadline - milliseconds_now();
    pollfd readable = {pipe_ends[0], POLLIN, 0};
    const int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left)) : 0;
    if (ready == 0) {
      child.ended = Ended::TIMED_OUT;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t got = ready > 0 ? read(pipe_ends[0], piece, sizeof piece) : -1;
    if (got > 0) {
      pass_on(output, piece, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;  // udpcmd's output has ended: so has udpcmd, or it is about to
    } else if (errno != EINTR) {
      kill(pid, SIGKILL);  // it can no longer be watched
      break;
    }
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  running = 0;
  if (WIFSIGNALED(status)) {
    child.status = -1;
    set_how(&child, "ended by signal ", WTERMSIG(status));
  } else {
    child.status = WEXITSTATUS(status);
    set_how(&child, "status ", child.status);
  }
  return child;
}

#endif
