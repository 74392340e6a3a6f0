#include "device_net.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#ifdef _WIN32
#include <winsock2.h>
// winsock2.h first: mswsock.h needs its types.
#include <fcntl.h>
#include <io.h>
#include <mswsock.h>
#include <sys/stat.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#endif

namespace {

#ifdef _WIN32
using native_socket = SOCKET;
using address_length = int;
constexpr int ADDRESS_IN_USE = WSAEADDRINUSE;
constexpr int INTERRUPTED = WSAEINTR;
bool opened(native_socket s) { return s != INVALID_SOCKET; }
void set_last_error(int code) { WSASetLastError(code); }
#else
using native_socket = int;
using address_length = socklen_t;
constexpr int ADDRESS_IN_USE = EADDRINUSE;
constexpr int INTERRUPTED = EINTR;
bool opened(native_socket s) { return s >= 0; }
void set_last_error(int code) { errno = code; }
#endif

native_socket native(net_socket s) { return static_cast<native_socket>(s); }

sockaddr_in to_record(NetAddress address) {
  sockaddr_in record = {};
  record.sin_family = AF_INET;
  record.sin_addr.s_addr = htonl(address.ip);
  record.sin_port = htons(address.port);
  return record;
}

NetAddress from_record(const sockaddr_in& record) {
  return NetAddress{ntohl(record.sin_addr.s_addr), ntohs(record.sin_port)};
}

void copy_text(char* text, std::size_t capacity, const char* source) {
  const std::size_t taken = std::min(std::strlen(source), capacity - 1);
  std::memcpy(text, source, taken);
  text[taken] = 0;
}

}  // namespace

#ifdef _WIN32

namespace {

// 100-nanosecond steps from 1601-01-01, where Windows' time of day starts,
// to 1970-01-01.
constexpr unsigned long long WINDOWS_TO_UNIX_EPOCH = 116444736000000000ULL;

// Texts for the Winsock codes that the device's blocking sockets can meet
// for a cause outside it, for a system that has none of its own (wine has
// none): the words the same condition gets on Linux.
struct CodeText {
  int code;
  const char* text;
};
const CodeText WINSOCK_TEXTS[] = {
    {WSAEINTR, "Interrupted system call"},
    {WSAEACCES, "Permission denied"},
    {WSAEMFILE, "Too many open files"},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSASYSNOTREADY, "Network subsystem is unavailable"},
    {WSAVERNOTSUPPORTED, "Winsock version not supported"},
};

// Since Windows 2000 a port unreachable message for a datagram the socket
// sent fails its next receive (10054): a udpcmd that ended before its reply
// came would stop the device's receiving. SIO_UDP_CONNRESET turns that off.
bool prepare(native_socket s) {
  BOOL report = FALSE;
  DWORD returned = 0;
  return WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                  nullptr) == 0;
}

// Winsock's codes have their texts among the system's messages, in the
// language of the machine; with FORMAT_MESSAGE_MAX_WIDTH_MASK the text
// holds no line breaks of its own.
void system_text(int code, char* text, std::size_t capacity) {
  const DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (FormatMessageA(flags, nullptr, static_cast<DWORD>(code), 0, text,
                     static_cast<DWORD>(capacity), nullptr) != 0) {
    return;
  }
  const CodeText* known = std::find_if(std::begin(WINSOCK_TEXTS), std::end(WINSOCK_TEXTS),
                                       [code](const CodeText& row) { return row.code == code; });
  copy_text(text, capacity, known != std::end(WINSOCK_TEXTS) ? known->text : "unknown error");
}

int write_some(int file, const unsigned char* bytes, std::size_t length) {
  return _write(file, bytes, static_cast<unsigned>(length));
}

}  // namespace

// Winsock does not tell where a datagram went: the path has only `from`.
int net_receive(net_socket s, unsigned char* buffer, int capacity, NetPath* path) {
  sockaddr_in from = {};
  address_length length = sizeof from;
  const int received = recvfrom(native(s), reinterpret_cast<char*>(buffer), capacity, 0,
                                reinterpret_cast<sockaddr*>(&from), &length);
  *path = NetPath{from_record(from), 0, 0};
  return received < 0 ? -1 : received;
}

int net_send(net_socket s, const unsigned char* data, int length, NetAddress to,
             std::uint32_t /*from_ip: Winsock sends from the bound address*/) {
  const sockaddr_in record = to_record(to);
  return sendto(native(s), reinterpret_cast<const char*>(data), length, 0,
                reinterpret_cast<const sockaddr*>(&record), sizeof record) >= 0;
}

// msvcrt's _open with _O_EXCL: fopen's "x" mode is not in XP's msvcrt.
int file_create(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

void file_cut(int file, std::size_t length) { (void)_chsize(file, static_cast<long>(length)); }

void file_close(int file) { (void)_close(file); }

int net_start() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

void net_close(net_socket s) { closesocket(native(s)); }

int net_last_error() { return WSAGetLastError(); }

// GetTickCount: GetTickCount64 came with Vista.
std::uint32_t net_milliseconds() { return GetTickCount(); }

void net_pause(long milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void net_wall_clock(std::uint32_t* seconds, std::uint32_t* microseconds) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long steps =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
      WINDOWS_TO_UNIX_EPOCH;
  const unsigned long long micros = steps / 10;
  *seconds = static_cast<std::uint32_t>(micros / 1000000);
  *microseconds = static_cast<std::uint32_t>(micros % 1000000);
}

#else

namespace {

// IP_PKTINFO: each datagram comes with the address it was sent to, which a
// socket bound to every address does not know otherwise.
bool prepare(native_socket s) {
#ifdef IP_PKTINFO
  const int on = 1;
  return setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
#else
  (void)s;
  return true;
#endif
}

void system_text(int code, char* text, std::size_t capacity) {
  copy_text(text, capacity, std::strerror(code));
}

int write_some(int file, const unsigned char* bytes, std::size_t length) {
  return static_cast<int>(write(file, bytes, length));
}

}  // namespace

// recvmsg writes the datagram into `buffer` through the iovec.
int net_receive(net_socket s,
                unsigned char* buffer,  // NOLINT(readability-non-const-parameter)
                int capacity, NetPath* path) {
  sockaddr_in from = {};
  iovec area = {buffer, static_cast<std::size_t>(capacity)};
  alignas(cmsghdr) unsigned char control[128];
  msghdr message = {};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &area;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = recvmsg(native(s), &message, 0);
  *path = NetPath{from_record(from), 0, 0};
#ifdef IP_PKTINFO
  for (cmsghdr* c = received >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; c != nullptr;
       c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      path->to_ip = ntohl(info.ipi_addr.s_addr);
      path->local_ip = ntohl(info.ipi_spec_dst.s_addr);
    }
  }
#endif
  return received < 0 ? -1 : static_cast<int>(received);
}

// With IP_PKTINFO the reply leaves from the address the datagram came to,
// whichever address the system would have picked.
int net_send(net_socket s, const unsigned char* data, int length, NetAddress to,
             std::uint32_t from_ip) {
  sockaddr_in destination = to_record(to);
  // sendmsg only reads the bytes, but iovec has no form for constant ones.
  iovec area = {const_cast<unsigned char*>(data),  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                static_cast<std::size_t>(length)};
  msghdr message = {};
  message.msg_name = &destination;
  message.msg_namelen = sizeof destination;
  message.msg_iov = &area;
  message.msg_iovlen = 1;
#ifdef IP_PKTINFO
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (from_ip != 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info = {};
    info.ipi_spec_dst.s_addr = htonl(from_ip);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
#else
  (void)from_ip;
#endif
  return sendmsg(native(s), &message, 0) >= 0;
}

int file_create(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

// A file that cannot be cut back is left as it is: nothing better is left.
void file_cut(int file, std::size_t length) {
  if (ftruncate(file, static_cast<off_t>(length)) != 0) {
    return;
  }
}

void file_close(int file) { (void)close(file); }

int net_start() { return 0; }

void net_close(net_socket s) { close(native(s)); }

int net_last_error() { return errno; }

std::uint32_t net_milliseconds() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long milliseconds = static_cast<unsigned long long>(now.tv_sec) * 1000 +
                                          static_cast<unsigned long>(now.tv_nsec) / 1000000;
  return static_cast<std::uint32_t>(milliseconds);
}

void net_pause(long milliseconds) {
  timespec pause = {};
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = milliseconds % 1000 * 1000000;
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void net_wall_clock(std::uint32_t* seconds, std::uint32_t* microseconds) {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = static_cast<std::uint32_t>(now.tv_sec);
  *microseconds = static_cast<std::uint32_t>(now.tv_nsec / 1000);
}

#endif

bool net_in_use(int code) { return code == ADDRESS_IN_USE; }

net_socket net_open(NetAddress local, NetAddress* bound) {
  const native_socket s = socket(AF_INET, SOCK_DGRAM, 0);
  if (!opened(s)) {
    return NET_INVALID_SOCKET;
  }
  sockaddr_in record = to_record(local);
  address_length length = sizeof record;
  if (!prepare(s) || bind(s, reinterpret_cast<const sockaddr*>(&record), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&record), &length) != 0) {
    const int code = net_last_error();
    net_close(static_cast<net_socket>(s));
    set_last_error(code);
    return NET_INVALID_SOCKET;
  }
  *bound = from_record(record);
  return static_cast<net_socket>(s);
}

int net_wait(net_socket s, long milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(native(s), &readable);
  timeval limit = {};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = milliseconds % 1000 * 1000;
  // The first argument is the highest descriptor plus one; Winsock ignores it.
  const int ready = select(static_cast<int>(native(s)) + 1, &readable, nullptr, nullptr,
                           milliseconds < 0 ? nullptr : &limit);
  if (ready < 0) {
    return net_last_error() == INTERRUPTED ? 0 : -1;
  }
  return ready > 0 ? 1 : 0;
}

// A write may take only part of the bytes (a disk filling up); the rest is
// written again until an error says why not.
int file_write(int file, const unsigned char* bytes, std::size_t length) {
  while (length > 0) {
    const int written = write_some(file, bytes, length);
    if (written <= 0) {
      return written < 0 && errno != 0 ? errno : ENOSPC;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return 0;
}

void net_error_text(int code, char* text, std::size_t capacity) {
  system_text(code, text, capacity);
  std::size_t length = std::strlen(text);
  while (length > 0 && std::strchr(" \t\r\n.", text[length - 1]) != nullptr) {
    text[--length] = 0;
  }
}
