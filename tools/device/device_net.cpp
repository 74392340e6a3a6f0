#include "device_net.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
using native_socket = SOCKET;
using address_length = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
using native_socket = int;
using address_length = socklen_t;
#endif

namespace {

native_socket native(net_socket s) { return static_cast<native_socket>(s); }

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

bool timed_out(int code) {
#ifdef _WIN32
  return code == WSAETIMEDOUT;
#else
  return code == EAGAIN || code == EWOULDBLOCK;
#endif
}

}  // namespace

int net_start() {
#ifdef _WIN32
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return 1;
#endif
}

net_socket net_open(NetAddress local, NetAddress* bound) {
  const native_socket s = socket(AF_INET, SOCK_DGRAM, 0);
#ifdef _WIN32
  if (s == INVALID_SOCKET) {
    return NET_INVALID_SOCKET;
  }
#else
  if (s < 0) {
    return NET_INVALID_SOCKET;
  }
#endif
  sockaddr_in record = to_record(local);
  address_length length = sizeof record;
  if (bind(s, reinterpret_cast<const sockaddr*>(&record), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&record), &length) != 0) {
    const int code = net_last_error();
    net_close(static_cast<net_socket>(s));
#ifdef _WIN32
    WSASetLastError(code);
#else
    errno = code;
#endif
    return NET_INVALID_SOCKET;
  }
  *bound = from_record(record);
  return static_cast<net_socket>(s);
}

int net_set_idle(net_socket s, int seconds) {
#ifdef _WIN32
  const DWORD limit = static_cast<DWORD>(seconds) * 1000;
  return setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                    sizeof limit) == 0;
#else
  timeval limit = {};
  limit.tv_sec = seconds;
  return setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
#endif
}

int net_receive(net_socket s, unsigned char* buffer, int capacity, NetAddress* from) {
  sockaddr_in record;
  std::memset(&record, 0, sizeof record);
  address_length length = sizeof record;
#ifdef _WIN32
  const int received = recvfrom(native(s), reinterpret_cast<char*>(buffer), capacity, 0,
                                reinterpret_cast<sockaddr*>(&record), &length);
#else
  const int received =
      static_cast<int>(recvfrom(native(s), buffer, static_cast<std::size_t>(capacity), 0,
                                reinterpret_cast<sockaddr*>(&record), &length));
#endif
  if (received < 0) {
    return timed_out(net_last_error()) ? NET_TIMED_OUT : -1;
  }
  *from = from_record(record);
  return received;
}

int net_send(net_socket s, const unsigned char* data, int length, NetAddress to) {
  const sockaddr_in record = to_record(to);
#ifdef _WIN32
  const int sent = sendto(native(s), reinterpret_cast<const char*>(data), length, 0,
                          reinterpret_cast<const sockaddr*>(&record), sizeof record);
#else
  const int sent =
      static_cast<int>(sendto(native(s), data, static_cast<std::size_t>(length), 0,
                              reinterpret_cast<const sockaddr*>(&record), sizeof record));
#endif
  return sent >= 0;
}

void net_close(net_socket s) {
#ifdef _WIN32
  closesocket(native(s));
#else
  close(native(s));
#endif
}

int net_last_error() {
#ifdef _WIN32
  return WSAGetLastError();
#else
  return errno;
#endif
}
