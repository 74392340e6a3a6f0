#include "validate.h"

#include <cstring>

#include "frame/frame.h"

namespace {

constexpr std::size_t HEADER_LENGTH = 3;
constexpr std::size_t SHORTEST_FRAME = HEADER_LENGTH + 2;  // header, end of text, trailer
constexpr std::size_t LONGEST_FIELD = CHECKSUM_FIELD_CAPACITY - 1;

bool refuse(FrameCheck* check, const char* problem) {
  check->problem = problem;
  return false;
}

// The checksum field runs from just after the end-of-text byte to just
// before the trailer; its length is whatever makes it match the sum.
bool checksum_matches(const unsigned char* bytes, std::size_t length, std::size_t* field_length) {
  for (std::size_t size = 0; size <= LONGEST_FIELD && size + SHORTEST_FRAME <= length; ++size) {
    const std::size_t end_of_text = length - 2 - size;
    if (bytes[end_of_text] != END_OF_TEXT[0]) {
      continue;
    }
    unsigned char field[CHECKSUM_FIELD_CAPACITY];
    const std::size_t expected = checksum_field(checksum_sum(bytes, end_of_text + 1), field);
    if (expected == size && std::memcmp(field, bytes + end_of_text + 1, size) == 0) {
      *field_length = size;
      return true;
    }
  }
  return false;
}

}  // namespace

bool check_frame(const unsigned char* bytes, std::size_t length, FrameCheck* check) {
  *check = FrameCheck{};
  check->problem = "";
  check->message = bytes;
  if (length < SHORTEST_FRAME) {
    return refuse(check, TOO_SHORT);
  }
  if (length >= FRAME_CAPACITY) {
    return refuse(check, LONGER_THAN_31);
  }
  if (std::memchr(bytes, 0, length) != nullptr) {
    return refuse(check, ZERO_INSIDE);
  }
  if (std::memcmp(bytes, FRAME_HEADER, HEADER_LENGTH) != 0) {
    return refuse(check, BAD_HEADER);
  }
  if (bytes[length - 1] != FRAME_TRAILER[0]) {
    return refuse(check, BAD_TRAILER);
  }
  std::size_t field_length = 0;
  if (!checksum_matches(bytes, length, &field_length)) {
    return refuse(check, BAD_CHECKSUM);
  }
  unsigned char frame[FRAME_CAPACITY] = {};
  std::memcpy(frame, bytes, length);
  check->message = bytes + HEADER_LENGTH;
  check->message_length = length - SHORTEST_FRAME - field_length;
  check->expects_reply = expects_reply(frame);
  return true;
}
