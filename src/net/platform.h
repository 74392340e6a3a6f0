// The one place that knows which platform the program runs on. It offers the
// Windows Sockets calls the program makes, under their own names, in the
// `platform` namespace: the real Winsock 2 on Windows, BSD sockets elsewhere;
// and the standard output that every line of the program goes to.
// Tests link a double of this unit instead of platform.cpp.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <winsock2.h>
using socket_handle = SOCKET;
constexpr int INTERRUPTED_CALL = WSAEINTR;
constexpr int MESSAGE_TOO_LONG = WSAEMSGSIZE;
constexpr int ALREADY_BOUND = WSAEINVAL;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
using socket_handle = int;
constexpr socket_handle INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int INTERRUPTED_CALL = EINTR;
constexpr int MESSAGE_TOO_LONG = EMSGSIZE;
constexpr int ALREADY_BOUND = EINVAL;
#endif

namespace platform {

// Gives 1 when standard output is open, so that a report can be written at
// all. On POSIX it also makes a write to a pipe without reader a failed write
// instead of a signal that ends the process.
int console_open();
// Writes one whole line, its newline included, to standard output and
// flushes it. Gives 1 when both the write and the flush succeeded.
int console_write(const char* text, std::size_t length);

// Starts the socket library, version 2.2; a no-op that succeeds on POSIX.
int WSAStartup();
// On POSIX the socket is never one of the standard descriptors 0-2, and a
// receive on it learns of a closed device port as Winsock's does (below).
socket_handle socket(int family, int type, int protocol);
int setsockopt(socket_handle s, int level, int option, const void* value, int length);
int bind(socket_handle s, const sockaddr_in* address, int length);
int getsockname(socket_handle s, sockaddr_in* address, int* length);
int sendto(socket_handle s, const void* data, int length, int flags, const sockaddr_in* destination,
           int destination_length);
// Receives one datagram without asking for its sender. A datagram larger
// than `capacity` is a failed receive with MESSAGE_TOO_LONG on every
// platform; nothing is written past `capacity` bytes. When the device's host
// answers the frame with ICMP port unreachable, the receive fails (Winsock:
// WSAECONNRESET; POSIX: ECONNREFUSED); other ICMP errors do not end the wait.
int recvfrom(socket_handle s, void* buffer, int capacity, int flags);
int closesocket(socket_handle s);
// The last socket error: WSAGetLastError on Windows, errno on POSIX.
int WSAGetLastError();

}  // namespace platform
