// The device's capture (--pcap): every datagram it receives and every reply
// it sends, as a classic pcap file of raw IPv4 packets (link type 101),
// each packet written whole with one call, so that a device stopped at any
// moment leaves a file that Wireshark and tshark read to its end.
#pragma once

#include <cstddef>

#include "device_net.h"

// After "udpcmd-device: FILE: ": the capture's file is there already.
constexpr const char* CAPTURE_EXISTS = "exists; delete it or name another file";
// After the error of a write that failed.
constexpr const char* CAPTURE_ENDED = "; the capture ends with its last whole packet";

// A record's headers (pcap's, IPv4's, UDP's) and the longest UDP payload.
constexpr std::size_t CAPTURE_RECORD_CAPACITY = 16 + 20 + 8 + 65507;

struct Capture {
  bool open;  // false: no capture, or writing it failed
  int file;
  const char* path;
  std::size_t size;  // the bytes written whole: the header and whole packets
  unsigned char record[CAPTURE_RECORD_CAPACITY];  // each put together here, to go out whole
};

// Creates the file at `path`, which must not exist yet, and writes the file
// header; gives 0, or an errno value (EEXIST: the file exists).
int capture_open(Capture* capture, const char* path);
// Writes one UDP datagram as an IPv4 packet stamped with the time of day.
// A write that fails cuts the file back to its last whole packet, is
// reported once on standard error, and ends the capture.
void capture_datagram(Capture* capture, NetAddress from, NetAddress to,
                      const unsigned char* payload, std::size_t length);
void capture_close(Capture* capture);
