#include "net/endpoint.h"

#include <cstring>

#include "text/line.h"

namespace {

// A second bind of a bound socket is refused by every platform, so after a
// first assignment of the device's port the loop ends in failure.
constexpr int BIND_ATTEMPTS = 2;

constexpr std::size_t LINE_AREA = 64;  // the longest text and any int

// The run ends after a failure line whether or not it could be written.
void print_failure(const char* text, int code) {
  char area[LINE_AREA];
  Line line = line_in(area, sizeof area);
  append_text(&line, text);
  append_signed(&line, code);
  end_line(&line);
  (void)platform::console_write(line.text, line.length);
}

int fail(const char* text) {
  print_failure(text, platform::WSAGetLastError());
  return 0;
}

}  // namespace

socket_handle open_socket() {
  const socket_handle s = platform::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    fail("Socket Failed: ");
  }
  return s;
}

int enable_broadcast(socket_handle s) {
  const int allow = 1;
  if (platform::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &allow, sizeof allow) == SOCKET_ERROR) {
    return fail("SetSockOpt SO_BROADCAST failed: ");
  }
  return 1;
}

int bind_local(socket_handle s, sockaddr_in* local, std::uint16_t port) {
  std::memset(local, 0, sizeof *local);
  local->sin_family = AF_INET;
  local->sin_addr.s_addr = htonl(INADDR_ANY);
  local->sin_port = htons(port);
  for (int attempt = 0; attempt < BIND_ATTEMPTS; ++attempt) {
    if (platform::bind(s, local, ADDRESS_LENGTH) == SOCKET_ERROR) {
      return fail("bind failed: ");
    }
    int length = ADDRESS_LENGTH;
    platform::getsockname(s, local, &length);
    if (ntohs(local->sin_port) != DEVICE_PORT) {
      return 1;
    }
  }
  // Only a platform that accepted the rebind gets here: refuse the port.
  print_failure("bind failed: ", ALREADY_BOUND);
  return 0;
}

int send_frame(socket_handle s, const unsigned char* frame, sockaddr_in destination) {
  const int length = static_cast<int>(bounded_length(frame, FRAME_CAPACITY));
  if (platform::sendto(s, frame, length, 0, &destination, ADDRESS_LENGTH) == SOCKET_ERROR) {
    return fail("sendto failed: ");
  }
  return 1;
}

int receive_reply(socket_handle s, unsigned char* reply) {
  if (platform::recvfrom(s, reply, static_cast<int>(REPLY_CAPACITY), 0) != SOCKET_ERROR) {
    return 1;
  }
  const int code = platform::WSAGetLastError();
  if (code == INTERRUPTED_CALL) {
    std::memset(reply, 0, REPLY_CAPACITY);
    return 1;
  }
  print_failure("Recv Error Winsock Error: ", code);
  return 0;
}
