// The simulated device's sockets. The one place in the device that knows
// which platform it runs on: Winsock 2 on Windows, BSD sockets elsewhere.
// Addresses and ports cross this interface in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

using net_socket = std::uintptr_t;
constexpr net_socket NET_INVALID_SOCKET = ~static_cast<net_socket>(0);

// net_receive's result when the idle time set by net_set_idle ran out.
constexpr int NET_TIMED_OUT = -2;

struct NetAddress {
  std::uint32_t ip;  // 0 is any address
  std::uint16_t port;
};

// Starts the socket library; gives 0 or the library's error code.
int net_start();
// A UDP socket bound to `local`, with the address it got in `bound`, or
// NET_INVALID_SOCKET (net_last_error tells why).
net_socket net_open(NetAddress local, NetAddress* bound);
// Makes net_receive give NET_TIMED_OUT after `seconds` without a datagram.
int net_set_idle(net_socket s, int seconds);
// Waits for one datagram; gives its length (the whole of it fits when
// `capacity` is 65536), NET_TIMED_OUT, or -1 on any other failure.
int net_receive(net_socket s, unsigned char* buffer, int capacity, NetAddress* from);
// Sends one datagram; gives 1 or 0.
int net_send(net_socket s, const unsigned char* data, int length, NetAddress to);
void net_close(net_socket s);
// The last socket error: WSAGetLastError on Windows, errno elsewhere.
int net_last_error();
// The system's own words for error `code`, zero-terminated in `text`
// (`capacity` bytes, at least 1), without a final period or line end.
void net_error_text(int code, char* text, std::size_t capacity);
