/* Process start-up of the Windows programs (udpcmd.exe, udpcmd-device.exe),
 * linked with -nostartfiles in place of mingw-w64's crt2.o.
 *
 * mingw-w64's start-up objects are built for the Pentium Pro (they use CMOV)
 * and set up much that these programs never use: TLS callbacks, the
 * relocation of auto-imported data, an exception filter, wildcard expansion
 * of the arguments. The programs need their arguments and msvcrt's stdio, and
 * nothing else, so they start here: msvcrt splits the command line, main
 * runs, and msvcrt's exit runs the atexit functions, flushes stdio and ends
 * the process with main's status. Compiled for the i586 like the programs.
 *
 * gcc makes main call __main first, which runs the static constructors
 * (this target has no .init section); the one linked, from libmingw32, hands
 * the destructors to atexit. crt2.o defined atexit, so this file does too. */
#include <stdlib.h>

/* msvcrt.dll's start-up interface, which mingw-w64's public headers leave
 * out; the names are msvcrt's. */
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
typedef struct {
  /* cppcheck-suppress unusedStructMember ; msvcrt reads it */
  int new_mode; /* 0: malloc failures are not handed to new's handler */
} StartupInfo;
int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expand_wildcards,
                          StartupInfo* info);
void __cdecl __set_app_type(int type);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

enum {
  CONSOLE_APP = 1,
  /* "*" is a wildcard command for the device, not a file pattern: the
   * arguments reach main as typed. */
  NO_WILDCARD_EXPANSION = 0,
};

int main(int argc, char** argv);

/* An exe's atexit is msvcrt's _onexit: exit runs them, last first. */
int __cdecl atexit(void(__cdecl* function)(void)) {
  return _onexit((_onexit_t)function) != NULL ? 0 : -1;
}

/* The entry point the linker looks for in a console program. */
void mainCRTStartup(void) { /* NOLINT(readability-identifier-naming) */
  int argc = 0;
  char** argv = NULL;
  char** env = NULL;
  StartupInfo info = {0};
  __set_app_type(CONSOLE_APP);
  /* msvcrt ends the process itself when it cannot build argv; a null argv
   * is only checked so that main never sees one. */
  __getmainargs(&argc, &argv, &env, NO_WILDCARD_EXPANSION, &info);
  exit(argv != NULL ? main(argc, argv) : -1);
}
