/* Test-only interposer for the native build: preloaded into udpcmd, it
 * makes the socket call named by UDPCMD_FAIL_CALL (socket, setsockopt, bind,
 * sendto or recvmsg) fail with the errno given in UDPCMD_FAIL_ERRNO, so the
 * end-to-end tests reach the refusals that a network namespace cannot stage.
 * Every other call goes through to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

typedef int (*socket_call)(int, int, int);
typedef int (*setsockopt_call)(int, int, int, const void*, socklen_t);
typedef int (*bind_call)(int, const struct sockaddr*, socklen_t);
typedef ssize_t (*sendto_call)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
typedef ssize_t (*recvmsg_call)(int, struct msghdr*, int);

static int fails(const char* call) {
  const char* named = getenv("UDPCMD_FAIL_CALL");
  const char* code = getenv("UDPCMD_FAIL_ERRNO");
  if (named == NULL || code == NULL || strcmp(named, call) != 0) {
    return 0;
  }
  errno = atoi(code);
  return 1;
}

static void* next(const char* call) { return dlsym(RTLD_NEXT, call); }

int socket(int domain, int type, int protocol) {
  if (fails("socket")) {
    return -1;
  }
  return ((socket_call)next("socket"))(domain, type, protocol);
}

int setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  if (fails("setsockopt")) {
    return -1;
  }
  return ((setsockopt_call)next("setsockopt"))(fd, level, option, value, length);
}

int bind(int fd, const struct sockaddr* address, socklen_t length) {
  if (fails("bind")) {
    return -1;
  }
  return ((bind_call)next("bind"))(fd, address, length);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const struct sockaddr* to,
               socklen_t to_length) {
  if (fails("sendto")) {
    return -1;
  }
  return ((sendto_call)next("sendto"))(fd, data, length, flags, to, to_length);
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
  if (fails("recvmsg")) {
    return -1;
  }
  return ((recvmsg_call)next("recvmsg"))(fd, message, flags);
}
