#include "device_net.h"

#include <cstring>

namespace {

void copy_text(char* text, std::size_t capacity, const char* source) {
  const std::size_t length = std::strlen(source);
  const std::size_t taken = length < capacity - 1 ? length : capacity - 1;
  std::memcpy(text, source, taken);
  text[taken] = 0;
}

}  // namespace

#ifdef _WIN32

#include <winsock2.h>

namespace {

using native_socket = SOCKET;
using address_length = int;

native_socket native(net_socket s) { return static_cast<native_socket>(s); }

bool opened(native_socket s) { return s != INVALID_SOCKET; }

void set_last_error(int code) { WSASetLastError(code); }

bool timed_out(int code) { return code == WSAETIMEDOUT; }

int receive_from(native_socket s, unsigned char* buffer, int capacity, sockaddr_in* from,
                 address_length* length) {
  return recvfrom(s, reinterpret_cast<char*>(buffer), capacity, 0,
                  reinterpret_cast<sockaddr*>(from), length);
}

int send_to(native_socket s, const unsigned char* data, int length, const sockaddr_in* to) {
  return sendto(s, reinterpret_cast<const char*>(data), length, 0,
                reinterpret_cast<const sockaddr*>(to), sizeof *to);
}

// Winsock's codes have their texts among the system's messages, in the
// language of the machine; with FORMAT_MESSAGE_MAX_WIDTH_MASK the text
// holds no line breaks of its own.
void system_text(int code, char* text, std::size_t capacity) {
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (FormatMessageA(flags, nullptr, static_cast<DWORD>(code), 0, text,
                     static_cast<DWORD>(capacity), nullptr) == 0) {
    copy_text(text, capacity, "unknown error");
  }
}

}  // namespace

int net_start() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

int net_set_idle(net_socket s, int seconds) {
  const DWORD limit = static_cast<DWORD>(seconds) * 1000;
  return setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                    sizeof limit) == 0;
}

void net_close(net_socket s) { closesocket(native(s)); }

int net_last_error() { return WSAGetLastError(); }

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace {

using native_socket = int;
using address_length = socklen_t;

native_socket native(net_socket s) { return static_cast<native_socket>(s); }

bool opened(native_socket s) { return s >= 0; }

void set_last_error(int code) { errno = code; }

bool timed_out(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

int receive_from(native_socket s, unsigned char* buffer, int capacity, sockaddr_in* from,
                 address_length* length) {
  return static_cast<int>(recvfrom(s, buffer, static_cast<std::size_t>(capacity), 0,
                                   reinterpret_cast<sockaddr*>(from), length));
}

int send_to(native_socket s, const unsigned char* data, int length, const sockaddr_in* to) {
  return static_cast<int>(sendto(s, data, static_cast<std::size_t>(length), 0,
                                 reinterpret_cast<const sockaddr*>(to), sizeof *to));
}

void system_text(int code, char* text, std::size_t capacity) {
  copy_text(text, capacity, std::strerror(code));
}

}  // namespace

int net_start() { return 0; }

int net_set_idle(net_socket s, int seconds) {
  timeval limit = {};
  limit.tv_sec = seconds;
  return setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

void net_close(net_socket s) { close(native(s)); }

int net_last_error() { return errno; }

#endif

namespace {

sockaddr_in to_record(NetAddress address) {
  sockaddr_in record;
  std::memset(&record, 0, sizeof record);
  record.sin_family = AF_INET;
  record.sin_addr.s_addr = htonl(address.ip);
  record.sin_port = htons(address.port);
  return record;
}

NetAddress from_record(const sockaddr_in& record) {
  return NetAddress{ntohl(record.sin_addr.s_addr), ntohs(record.sin_port)};
}

}  // namespace

net_socket net_open(NetAddress local, NetAddress* bound) {
  const native_socket s = socket(AF_INET, SOCK_DGRAM, 0);
  if (!opened(s)) {
    return NET_INVALID_SOCKET;
  }
  sockaddr_in record = to_record(local);
  address_length length = sizeof record;
  if (bind(s, reinterpret_cast<const sockaddr*>(&record), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&record), &length) != 0) {
    const int code = net_last_error();
    net_close(static_cast<net_socket>(s));
    set_last_error(code);
    return NET_INVALID_SOCKET;
  }
  *bound = from_record(record);
  return static_cast<net_socket>(s);
}

int net_receive(net_socket s, unsigned char* buffer, int capacity, NetAddress* from) {
  sockaddr_in record;
  std::memset(&record, 0, sizeof record);
  address_length length = sizeof record;
  const int received = receive_from(native(s), buffer, capacity, &record, &length);
  if (received < 0) {
    return timed_out(net_last_error()) ? NET_TIMED_OUT : -1;
  }
  *from = from_record(record);
  return received;
}

int net_send(net_socket s, const unsigned char* data, int length, NetAddress to) {
  const sockaddr_in record = to_record(to);
  return send_to(native(s), data, length, &record) >= 0;
}

void net_error_text(int code, char* text, std::size_t capacity) {
  system_text(code, text, capacity);
  std::size_t length = std::strlen(text);
  while (length > 0 && std::strchr(" \t\r\n.", text[length - 1]) != nullptr) {
    text[--length] = 0;
  }
}
