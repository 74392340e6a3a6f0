// Checks a received datagram against the command frame layout, using the
// program's own frame code for the checksum field.
#pragma once

#include <cstddef>

struct FrameCheck {
  const char* problem;           // why not, when not well formed
  const unsigned char* message;  // points into the datagram
  std::size_t message_length;
  bool expects_reply;  // the program waits for a reply to this frame
};

// Gives true when `bytes` is a well-formed command frame. Safe for any
// datagram, of any length and content.
bool check_frame(const unsigned char* bytes, std::size_t length, FrameCheck* check);
