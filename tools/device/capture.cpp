#include "capture.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
  std::memcpy(ip, fixed, sizeof fixed);
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

static_assert(CAPTURE_RECORD_CAPACITY == HEADERS + LONGEST_PAYLOAD, "a whole record fits");

// Writes the first `length` bytes of the capture's record; gives 0 or an
// errno value, having cut the file back to the whole packets before them.
int write_record(Capture* capture, std::size_t length) {
  const int code = file_write(capture->file, capture->record, length);
  if (code != 0) {
    file_cut(capture->file, capture->size);
    capture_close(capture);
    return code;
  }
  capture->size += length;
  return 0;
}

}  // namespace

int capture_open(Capture* capture, const char* path) {
  capture->path = path;
  capture->size = 0;
  capture->file = file_create(path);
  if (capture->file < 0) {
    return errno;
  }
  capture->open = true;
  unsigned char* record = capture->record;
  std::memset(record, 0, FILE_HEADER);
  put_little(record, PCAP_MAGIC, 4);
  put_little(record + 4, 2, 2);  // version 2.4
  put_little(record + 6, 4, 2);
  put_little(record + 16, SNAPSHOT_LENGTH, 4);
  put_little(record + 20, LINKTYPE_RAW, 4);
  const int code = write_record(capture, FILE_HEADER);
  if (code != 0) {
    (void)std::remove(path);  // the start failed: no file of its making is left
  }
  return code;
}

void capture_datagram(Capture* capture, NetAddress from, NetAddress to,
                      const unsigned char* payload, std::size_t length) {
  if (!capture->open || length > LONGEST_PAYLOAD) {
    return;
  }
  unsigned char* headers = capture->record;
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  net_wall_clock(&seconds, &microseconds);
  const std::uint32_t packet = static_cast<std::uint32_t>(IP_HEADER + UDP_HEADER + length);
  put_little(headers, seconds, 4);
  put_little(headers + 4, microseconds, 4);
  put_little(headers + 8, packet, 4);
  put_little(headers + 12, packet, 4);
  build_headers(headers + RECORD_HEADER, from, to, payload, length);
  std::memcpy(headers + HEADERS, payload, length);
  const int code = write_record(capture, HEADERS + length);
  if (code != 0) {
    print_file_error(capture->path, code, CAPTURE_ENDED);
  }
}

void capture_close(Capture* capture) {
  if (capture->open) {
    file_close(capture->file);
    capture->open = false;
  }
}
