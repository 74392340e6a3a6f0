#include "capture.h"

#include <cerrno>
#include <cstdint>

#include "show.h"

namespace {

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4U;  // microsecond time stamps
constexpr std::uint32_t SNAPSHOT_LENGTH = 65535;
constexpr std::uint32_t LINKTYPE_RAW = 101;  // each packet an IPv4 packet, no link header
constexpr std::size_t FILE_HEADER = 24;
constexpr std::size_t RECORD_HEADER = 16;
constexpr std::size_t IP_HEADER = 20;
constexpr std::size_t UDP_HEADER = 8;
constexpr std::size_t HEADERS = RECORD_HEADER + IP_HEADER + UDP_HEADER;
constexpr std::size_t LONGEST_PAYLOAD = 65535 - IP_HEADER - UDP_HEADER;
constexpr unsigned char UDP = 17;

// pcap's own numbers are in the writer's byte order: little-endian here.
void put_little(unsigned char* at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    at[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Network byte order, for the IPv4 and UDP headers.
void put_big(unsigned char* at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    at[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
  }
}

// The Internet checksum's running sum of 16-bit big-endian words.
std::uint32_t add_words(std::uint32_t sum, const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; i += 2) {
    sum += static_cast<std::uint32_t>(bytes[i]) << 8 | (i + 1 < length ? bytes[i + 1] : 0U);
  }
  return sum;
}

std::uint16_t folded(std::uint32_t sum) {
  while (sum >> 16 != 0) {
    sum = (sum & 0xFFFFU) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum & 0xFFFFU);
}

// IPv4 header (no options, don't fragment, time to live 64, identification
// 0, as Linux sends such a datagram) and UDP header, both checksums right.
void build_headers(unsigned char* at, NetAddress from, NetAddress to, const unsigned char* payload,
                   std::size_t length) {
  const std::uint32_t udp_length = static_cast<std::uint32_t>(UDP_HEADER + length);
  unsigned char* ip = at;
  unsigned char* udp = at + IP_HEADER;
  const unsigned char fixed[] = {0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, UDP, 0, 0};
  for (std::size_t i = 0; i < sizeof fixed; ++i) {
    ip[i] = fixed[i];
  }
  put_big(ip + 2, IP_HEADER + udp_length, 2);
  put_big(ip + 12, from.ip, 4);
  put_big(ip + 16, to.ip, 4);
  put_big(ip + 10, folded(add_words(0, ip, IP_HEADER)), 2);
  put_big(udp, from.port, 2);
  put_big(udp + 2, to.port, 2);
  put_big(udp + 4, udp_length, 2);
  put_big(udp + 6, 0, 2);
  // The pseudo-header: both addresses, a zero byte, the protocol, the length.
  std::uint32_t sum = add_words(UDP + udp_length, ip + 12, 8);
  sum = add_words(add_words(sum, udp, UDP_HEADER), payload, length);
  const std::uint16_t checksum = folded(sum);
  put_big(udp + 6, checksum == 0 ? 0xFFFFU : checksum, 2);  // 0 would mean "none"
}

void fail(Capture* capture, int code) {
  print_file_error(capture->path, code);
  capture_close(capture);
}

}  // namespace

int capture_open(Capture* capture, const char* path) {
  capture->path = path;
  capture->file = std::fopen(path, "wb");
  if (capture->file == nullptr) {
    return errno;
  }
  unsigned char header[FILE_HEADER] = {};
  put_little(header, PCAP_MAGIC, 4);
  put_little(header + 4, 2, 2);  // version 2.4
  put_little(header + 6, 4, 2);
  put_little(header + 16, SNAPSHOT_LENGTH, 4);
  put_little(header + 20, LINKTYPE_RAW, 4);
  if (std::fwrite(header, 1, sizeof header, capture->file) != sizeof header ||
      std::fflush(capture->file) != 0) {
    const int code = errno;
    capture_close(capture);
    return code;
  }
  return 0;
}

void capture_datagram(Capture* capture, NetAddress from, NetAddress to,
                      const unsigned char* payload, std::size_t length) {
  if (capture->file == nullptr || length > LONGEST_PAYLOAD) {
    return;
  }
  unsigned char headers[HEADERS];
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  net_wall_clock(&seconds, &microseconds);
  const std::uint32_t packet = static_cast<std::uint32_t>(IP_HEADER + UDP_HEADER + length);
  put_little(headers, seconds, 4);
  put_little(headers + 4, microseconds, 4);
  put_little(headers + 8, packet, 4);
  put_little(headers + 12, packet, 4);
  build_headers(headers + RECORD_HEADER, from, to, payload, length);
  if (std::fwrite(headers, 1, sizeof headers, capture->file) != sizeof headers ||
      std::fwrite(payload, 1, length, capture->file) != length || std::fflush(capture->file) != 0) {
    fail(capture, errno);
  }
}

void capture_close(Capture* capture) {
  if (capture->file != nullptr) {
    (void)std::fclose(capture->file);
    capture->file = nullptr;
  }
}
