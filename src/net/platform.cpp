#include "net/platform.h"

#include <cstdio>

#ifdef _WIN32

namespace platform {

// Windows gives no descriptor of a closed standard output to the socket:
// only an output that is not there at all needs finding.
int console_open() {
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return output != nullptr && output != INVALID_HANDLE_VALUE;
}

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

#include <fcntl.h>
#include <linux/errqueue.h>
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

constexpr int FIRST_FREE_DESCRIPTOR = 3;  // after standard input, output and error

// A socket given one of the standard descriptors (one was closed when the
// run started) moves above them, so that nothing meant for a standard stream
// can ever reach it.
int off_standard_descriptors(int s) {
  if (s < 0 || s >= FIRST_FREE_DESCRIPTOR) {
    return s;
  }
  const int moved = ::fcntl(s, F_DUPFD, FIRST_FREE_DESCRIPTOR);
  const int code = errno;
  ::close(s);
  errno = code;
  return moved;
}

// With IP_RECVERR a failed receive can stand for an error that an ICMP
// message reported. Each such error is also queued on the socket, while the
// receive reports only the latest one.
enum class Queued { NOTHING, OTHER_ERRORS, PORT_UNREACHABLE };

// Room for one queued error's details: the error and the offender's address.
constexpr std::size_t QUEUED_ERROR_CONTROL =
    CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in));

// Whether an error taken off the queue is an ICMP port unreachable: what
// Winsock reports as WSAECONNRESET.
bool port_unreachable(msghdr* message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
      sock_extended_err error;
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      return error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_errno == ECONNREFUSED;
    }
  }
  return false;
}

// Takes every queued error off without waiting, looking at each of them.
// errno is kept.
Queued take_queued_errors(int s) {
  const int code = errno;
  Queued found = Queued::NOTHING;
  for (;;) {
    alignas(cmsghdr) unsigned char control[QUEUED_ERROR_CONTROL];
    msghdr message = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(s, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
      break;
    }
    if (found != Queued::PORT_UNREACHABLE) {
      found = port_unreachable(&message) ? Queued::PORT_UNREACHABLE : Queued::OTHER_ERRORS;
    }
  }
  errno = code;
  return found;
}

}  // namespace

namespace platform {

int console_open() {
  // A write to a pipe without reader fails with EPIPE instead.
  (void)std::signal(SIGPIPE, SIG_IGN);
  return ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

int WSAStartup() { return 0; }

// Linux drops ICMP errors for an unconnected UDP socket unless IP_RECVERR is
// on; with it, a closed device port ends the wait as on Windows. Should the
// option be refused, the run goes on as it would without it.
socket_handle socket(int family, int type, int protocol) {
  const int s = off_standard_descriptors(::socket(family, type, protocol));
  if (s >= 0) {
    const int on = 1;
    (void)::setsockopt(s, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  }
  return s;
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
// MSG_TRUNC, and it is turned into the failure Winsock gives. Of the errors
// ICMP reports, Winsock ends a receive only for port unreachable
// (WSAECONNRESET; here ECONNREFUSED): the wait goes on after any other.
int recvfrom(socket_handle s, void* buffer, int capacity, int flags) {
  iovec area = {buffer, static_cast<std::size_t>(capacity)};
  msghdr message = {};
  message.msg_iov = &area;
  message.msg_iovlen = 1;
  ssize_t received = ::recvmsg(s, &message, flags);
  while (received < 0 && errno != ECONNREFUSED && errno != EINTR) {
    const Queued queued = take_queued_errors(s);
    if (queued == Queued::NOTHING) {
      break;  // a failure of the receive itself
    }
    if (queued == Queued::PORT_UNREACHABLE) {
      errno = ECONNREFUSED;  // whatever other error was reported last
      break;
    }
    received = ::recvmsg(s, &message, flags);
  }
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

namespace platform {

int console_write(const char* text, std::size_t length) {
  return std::fwrite(text, 1, length, stdout) == length && std::fflush(stdout) == 0;
}

}  // namespace platform
