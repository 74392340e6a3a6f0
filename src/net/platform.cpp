#include "net/platform.h"

#ifdef _WIN32

namespace platform {

int WSAStartup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data);
}

socket_handle socket(int family, int type, int protocol) {
  return ::socket(family, type, protocol);
}

int setsockopt(socket_handle s, int level, int option, const void* value, int length) {
  return ::setsockopt(s, level, option, static_cast<const char*>(value), length);
}

int bind(socket_handle s, const sockaddr_in* address, int length) {
  return ::bind(s, reinterpret_cast<const sockaddr*>(address), length);
}

int getsockname(socket_handle s, sockaddr_in* address, int* length) {
  return ::getsockname(s, reinterpret_cast<sockaddr*>(address), length);
}

int sendto(socket_handle s, const void* data, int length, int flags, const sockaddr_in* destination,
           int destination_length) {
  return ::sendto(s, static_cast<const char*>(data), length, flags,
                  reinterpret_cast<const sockaddr*>(destination), destination_length);
}

// Winsock itself fails a receive whose datagram exceeds the buffer
// (WSAEMSGSIZE), writing only `capacity` bytes.
int recvfrom(socket_handle s, void* buffer, int capacity, int flags) {
  return ::recvfrom(s, static_cast<char*>(buffer), capacity, flags, nullptr, nullptr);
}

int closesocket(socket_handle s) { return ::closesocket(s); }

int WSAGetLastError() { return ::WSAGetLastError(); }

}  // namespace platform

#else

#include <sys/uio.h>
#include <unistd.h>

namespace platform {

int WSAStartup() { return 0; }

socket_handle socket(int family, int type, int protocol) {
  return ::socket(family, type, protocol);
}

int setsockopt(socket_handle s, int level, int option, const void* value, int length) {
  return ::setsockopt(s, level, option, value, static_cast<socklen_t>(length));
}

int bind(socket_handle s, const sockaddr_in* address, int length) {
  return ::bind(s, reinterpret_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int getsockname(socket_handle s, sockaddr_in* address, int* length) {
  socklen_t size = static_cast<socklen_t>(*length);
  const int result = ::getsockname(s, reinterpret_cast<sockaddr*>(address), &size);
  *length = static_cast<int>(size);
  return result;
}

int sendto(socket_handle s, const void* data, int length, int flags, const sockaddr_in* destination,
           int destination_length) {
  const ssize_t sent = ::sendto(s, data, static_cast<std::size_t>(length), flags,
                                reinterpret_cast<const sockaddr*>(destination),
                                static_cast<socklen_t>(destination_length));
  return sent < 0 ? SOCKET_ERROR : static_cast<int>(sent);
}

// BSD sockets cut an oversize datagram silently; recvmsg reports the cut in
// MSG_TRUNC, and it is turned into the failure Winsock gives.
int recvfrom(socket_handle s, void* buffer, int capacity, int flags) {
  iovec area = {buffer, static_cast<std::size_t>(capacity)};
  msghdr message = {};
  message.msg_iov = &area;
  message.msg_iovlen = 1;
  const ssize_t received = ::recvmsg(s, &message, flags);
  if (received < 0) {
    return SOCKET_ERROR;
  }
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    errno = EMSGSIZE;
    return SOCKET_ERROR;
  }
  return static_cast<int>(received);
}

int closesocket(socket_handle s) { return ::close(s); }

int WSAGetLastError() { return errno; }

}  // namespace platform

#endif
