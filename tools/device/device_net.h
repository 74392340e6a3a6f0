// The simulated device's sockets, clocks and capture file. The one place in the device
// that knows which platform it runs on: Winsock 2 on Windows, BSD sockets
// elsewhere. Addresses and ports cross this interface in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

using net_socket = std::uintptr_t;
constexpr net_socket NET_INVALID_SOCKET = ~static_cast<net_socket>(0);

struct NetAddress {
  std::uint32_t ip;  // 0 is any address
  std::uint16_t port;
};

// Where a received datagram came from and went to.
struct NetPath {
  NetAddress from;
  std::uint32_t to_ip;     // the address it was sent to; 0: the platform does not tell
  std::uint32_t local_ip;  // the local address to answer it from; 0: not told
};

// Starts the socket library; gives 0 or the library's error code.
int net_start();
// A UDP socket bound to `local`, with the address it got in `bound`, or
// NET_INVALID_SOCKET (net_last_error tells why). On Windows a port
// unreachable message for a reply it sent does not fail its next receive.
net_socket net_open(NetAddress local, NetAddress* bound);
// Waits until a datagram can be received (1), `milliseconds` have passed
// (0; a negative wait has no end), or the wait failed (-1).
int net_wait(net_socket s, long milliseconds);
// Receives one datagram; gives its length (the whole of it fits when
// `capacity` is 65536), or -1.
int net_receive(net_socket s, unsigned char* buffer, int capacity, NetPath* path);
// Sends one datagram, from local address `from_ip` where it is not 0 and
// the platform allows choosing it; gives 1 or 0.
int net_send(net_socket s, const unsigned char* data, int length, NetAddress to,
             std::uint32_t from_ip);
void net_close(net_socket s);
// The last socket error: WSAGetLastError on Windows, errno elsewhere.
int net_last_error();
// The system's own words for error `code`, zero-terminated in `text`
// (`capacity` bytes, at least 1), without a final period or line end.
void net_error_text(int code, char* text, std::size_t capacity);

// Milliseconds of a clock that only goes forward, wrapping around at 2^32
// (about 49 days): only differences of two readings mean anything.
std::uint32_t net_milliseconds();
void net_pause(long milliseconds);
// The time of day, in seconds and microseconds since 1970-01-01 UTC.
void net_wall_clock(std::uint32_t* seconds, std::uint32_t* microseconds);

// An error code meaning the address and port are taken, and the advice said after it.
bool net_in_use(int code);
constexpr const char* PORT_TAKEN =
    "; another program, perhaps another udpcmd-device, uses that port";

// The capture's file, written without a buffer of the C library's.
// file_create makes the file at `path` only when there is none (an existing
// one is never replaced) and gives its descriptor, or -1 with errno set.
int file_create(const char* path);
// Writes all `length` bytes at the file's end; gives 0 or an errno value.
int file_write(int file, const unsigned char* bytes, std::size_t length);
void file_cut(int file, std::size_t length);
void file_close(int file);
