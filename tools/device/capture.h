// The device's capture (--pcap): every datagram it receives and every reply
// it sends, as a classic pcap file of raw IPv4 packets (link type 101),
// each packet written whole and flushed at once, so that a device stopped
// at any moment leaves a file that Wireshark and tshark read to its end.
#pragma once

#include <cstddef>
#include <cstdio>

#include "device_net.h"

struct Capture {
  std::FILE* file;  // nullptr: no capture, or writing it failed
  const char* path;
};

// Creates or truncates the file at `path` and writes the file header;
// gives 0, or the C library's error code.
int capture_open(Capture* capture, const char* path);
// Writes one UDP datagram as an IPv4 packet stamped with the time of day.
// A write that fails is reported on standard error, and the capture ends.
void capture_datagram(Capture* capture, NetAddress from, NetAddress to,
                      const unsigned char* payload, std::size_t length);
void capture_close(Capture* capture);
