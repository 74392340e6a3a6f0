/* stdin-from FILE COMMAND [ARGS...]: runs COMMAND with FILE as its standard
 * input. hyperfine gives every command /dev/null as input; this lets
 * `nc -u`, which sends what it reads, be timed without a shell. Static, so
 * that it adds as little as possible; the benchmark times udpcmd through it
 * too when comparing with nc, so the cost it adds is the same on both sides. */
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
