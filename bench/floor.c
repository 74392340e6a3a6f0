/* The floor of the start-up benchmark (BENCHMARKS.md): the least a program
 * can do to send a command as udpcmd does, with the same socket calls in the
 * same order, the same report and flushes, the same frame. It only has to be
 * right for the benchmark's commands (AB and @1). The report's texts are the
 * tests' own (test_data.h, written from tests/common/report.txt). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_data.h"

static void line(const char* text) {
  printf("%s\n", text);
  fflush(stdout);
}

int main(int argc, char** argv) {
  unsigned char frame[32] = {0xF1, 0x01, 0x04};
  unsigned char reply[33] = {0}; /* 32 bytes and a terminator */
  const char* text = argc > 1 ? argv[1] : "";
  size_t n = strlen(text);
  int sum = 0x01 + 0x04 + 0x0D;
  size_t i;
  int at = 0, star = 0, one = 1, s;
  struct sockaddr_in to, local;
  socklen_t length = sizeof local;

  if (n > 23) return -1;
  memcpy(frame + 3, text, n);
  n += 3;
  frame[n++] = 0x0D;
  for (i = 3; i + 1 < n; ++i) sum += (signed char)frame[i];
  if (sum >= 250) { /* three-byte field, cut at its first zero byte */
    frame[n++] = 0xFF;
    if ((sum >> 8) & 0xFF) {
      frame[n++] = (unsigned char)(sum >> 8);
      if (sum & 0xFF) frame[n++] = (unsigned char)sum;
    }
  } else if (sum & 0xFF) {
    frame[n++] = (unsigned char)sum;
  }
  frame[n++] = 0xF2;
  for (i = 0; i < n; ++i) {
    at |= frame[i] == '@';
    star |= frame[i] == '*';
  }

  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr("192.168.0.254");
  to.sin_port = htons(2639);
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);

  s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0 || setsockopt(s, IPPROTO_IP, IP_RECVERR, &one, sizeof one) < 0 ||
      setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0 ||
      bind(s, (struct sockaddr*)&local, sizeof local) < 0 ||
      getsockname(s, (struct sockaddr*)&local, &length) < 0 ||
      sendto(s, frame, n, 0, (struct sockaddr*)&to, sizeof to) < 0) {
    line("failed");
    return -1;
  }
  line(REPORT_OPENING);
  printf(REPORT_SENT "\n", text, 2639u, "192.168.0.254");
  fflush(stdout);
  line(REPORT_PROGRESS);
  if (!at || star) {
    line(REPORT_NO_REPLY);
  } else if (recvfrom(s, reply, sizeof reply - 1, 0, NULL, NULL) < 0) {
    line("failed");
    close(s);
    return -1;
  } else {
    printf(REPORT_RECEIVED "\n", (unsigned)ntohs(local.sin_port));
    fflush(stdout);
    printf(REPORT_DATA "\n", (char*)reply);
    fflush(stdout);
  }
  line(REPORT_CLOSING);
  close(s);
  return 1;
}
