/* stdin-from FILE COMMAND [ARGS...]: runs COMMAND with FILE as its standard
 * input, so that hyperfine, which gives every command /dev/null, can time
 * `nc -u` without a shell (BENCHMARKS.md says how it is used). */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int fd;
  if (argc < 3) {
    fputs("usage: stdin-from FILE COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  fd = open(argv[1], O_RDONLY);
  if (fd < 0 || dup2(fd, 0) < 0) {
    perror(argv[1]);
    return 2;
  }
  if (fd != 0) close(fd);
  execvp(argv[2], argv + 2);
  perror(argv[2]);
  return 127;
}
