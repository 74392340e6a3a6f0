#include "fake_platform.h"

#include <algorithm>
#include <cstring>

FakePlatform fake;

void reset_fake() { fake = FakePlatform(); }

namespace {

bool fails(const char* call) {
  fake.calls += call;
  fake.calls += ' ';
  if (fake.fail_call != call) {
    return false;
  }
  fake.last_error = fake.fail_code;
  return true;
}

}  // namespace

namespace platform {

int console_open() { return fake.console_closed ? 0 : 1; }

int console_write(const char* text, std::size_t length) {
  ++fake.console_lines;
  if (fake.console_fails_from != 0 && fake.console_lines >= fake.console_fails_from) {
    return 0;
  }
  fake.console.append(text, length);
  return 1;
}

int WSAStartup() {
  fake.calls += "WSAStartup ";
  return 0;
}

socket_handle socket(int, int, int) { return fails("socket") ? INVALID_SOCKET : FAKE_SOCKET; }

int setsockopt(socket_handle, int level, int option, const void* value, int length) {
  fake.option_level = level;
  fake.option_name = option;
  fake.option_length = length;
  std::memcpy(&fake.option_value, value, std::min<std::size_t>(sizeof(int), length));
  return fails("setsockopt") ? SOCKET_ERROR : 0;
}

int bind(socket_handle, const sockaddr_in* address, int) {
  const bool bound_before = fake.calls.find("bind ") != std::string::npos;
  fake.bound_to = *address;
  if (fails("bind")) {
    return SOCKET_ERROR;
  }
  if (bound_before && !fake.rebind_allowed) {
    fake.last_error = ALREADY_BOUND;
    return SOCKET_ERROR;
  }
  return 0;
}

int getsockname(socket_handle, sockaddr_in* address, int* length) {
  fake.calls += "getsockname ";
  const std::uint16_t port = fake.bound_ports.empty() ? 0 : fake.bound_ports.front();
  if (!fake.bound_ports.empty()) {
    fake.bound_ports.erase(fake.bound_ports.begin());
  }
  address->sin_port = htons(port);
  *length = sizeof(sockaddr_in);
  return 0;
}

int sendto(socket_handle, const void* data, int length, int, const sockaddr_in* destination, int) {
  ++fake.sends;
  fake.destination = *destination;
  const auto* bytes = static_cast<const unsigned char*>(data);
  fake.sent.assign(bytes, bytes + length);
  return fails("sendto") ? SOCKET_ERROR : length;
}

int recvfrom(socket_handle, void* buffer, int capacity, int) {
  if (fails("recvfrom")) {
    return SOCKET_ERROR;
  }
  const int size = static_cast<int>(fake.reply.size());
  if (size > 0) {
    std::memcpy(buffer, fake.reply.data(), std::min(size, capacity));
  }
  if (size > capacity) {
    fake.last_error = MESSAGE_TOO_LONG;
    return SOCKET_ERROR;
  }
  return size;
}

int closesocket(socket_handle s) {
  fake.calls += "closesocket ";
  ++fake.closes;
  fake.closed_handle = s;
  return 0;
}

int WSAGetLastError() { return fake.last_error; }

}  // namespace platform
