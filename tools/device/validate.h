// Checks a received datagram against the command frame layout, using the
// program's own frame code for the checksum field.
#pragma once

#include <cstddef>

// The problems a datagram that is not a well-formed frame is refused for.
constexpr const char* TOO_SHORT = "too short";
constexpr const char* LONGER_THAN_31 = "longer than 31 bytes";
constexpr const char* ZERO_INSIDE = "zero byte inside";
constexpr const char* BAD_HEADER = "bad header";
constexpr const char* BAD_TRAILER = "bad trailer";
constexpr const char* BAD_CHECKSUM = "bad checksum field";

struct FrameCheck {
  const char* problem;           // why not, when not well formed
  const unsigned char* message;  // points into the datagram
  std::size_t message_length;
  bool expects_reply;  // the program waits for a reply to this frame
};

// Gives true when `bytes` is a well-formed command frame. Safe for any
// datagram, of any length and content.
bool check_frame(const unsigned char* bytes, std::size_t length, FrameCheck* check);
