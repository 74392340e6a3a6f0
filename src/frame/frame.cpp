#include "frame/frame.h"

#include <cstring>

namespace {

constexpr unsigned char APOSTROPHE = 0x27;
constexpr unsigned char DOUBLE_QUOTE = 0x22;
constexpr unsigned char AT_SIGN = 0x40;
constexpr unsigned char ASTERISK = 0x2A;
constexpr std::int32_t FOUR_BYTE_FROM = 65536;
constexpr std::int32_t THREE_BYTE_FROM = 250;

// Zero-terminated append that never writes past the frame area: gives 0 and
// leaves the frame as it was when the piece does not fit with a terminator.
int append_piece(unsigned char* frame, const unsigned char* piece, std::size_t piece_capacity) {
  const std::size_t used = bounded_length(frame, FRAME_CAPACITY);
  const std::size_t added = bounded_length(piece, piece_capacity);
  if (used + added >= FRAME_CAPACITY) {
    return 0;
  }
  std::memcpy(frame + used, piece, added);
  frame[used + added] = 0;
  return 1;
}

std::int32_t signed_byte(unsigned char byte) {
  return byte < 0x80 ? byte : static_cast<std::int32_t>(byte) - 256;
}

unsigned char byte_of(std::int32_t sum, int shift) {
  return static_cast<unsigned char>((static_cast<std::uint32_t>(sum) >> shift) & 0xFFU);
}

}  // namespace

std::size_t bounded_length(const unsigned char* bytes, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && bytes[length] != 0) {
    ++length;
  }
  return length;
}

int copy_message(unsigned char* message, const char* argument) {
  std::memset(message, 0, MESSAGE_CAPACITY);
  const auto* text = reinterpret_cast<const unsigned char*>(argument);
  const std::size_t length = bounded_length(text, MESSAGE_CAPACITY);
  if (length >= MESSAGE_CAPACITY) {
    return 0;
  }
  std::memcpy(message, text, length);
  return 1;
}

void substitute_apostrophes(unsigned char* message) {
  for (std::size_t i = 0; i < APOSTROPHE_SPAN && message[i] != 0; ++i) {
    if (message[i] == APOSTROPHE) {
      message[i] = DOUBLE_QUOTE;
    }
  }
}

int build_frame(const unsigned char* message, unsigned char* frame) {
  std::memset(frame, 0, FRAME_CAPACITY);
  const int fits = append_piece(frame, FRAME_HEADER, sizeof FRAME_HEADER) &&
                   append_piece(frame, message, MESSAGE_CAPACITY) &&
                   append_piece(frame, END_OF_TEXT, sizeof END_OF_TEXT) && append_checksum(frame) &&
                   append_piece(frame, FRAME_TRAILER, sizeof FRAME_TRAILER);
  if (!fits) {
    std::memset(frame, 0, FRAME_CAPACITY);
  }
  return fits;
}

int append_checksum(unsigned char* frame) {
  unsigned char field[CHECKSUM_FIELD_CAPACITY];
  const std::int32_t sum = checksum_sum(frame, bounded_length(frame, FRAME_CAPACITY));
  checksum_field(sum, field);
  return append_piece(frame, field, sizeof field);
}

std::int32_t checksum_sum(const unsigned char* frame, std::size_t length) {
  std::int32_t sum = 0;
  for (std::size_t i = 1; i < length; ++i) {
    sum += signed_byte(frame[i]);
  }
  return sum;
}

std::size_t checksum_field(std::int32_t sum, unsigned char* field) {
  std::memset(field, 0, CHECKSUM_FIELD_CAPACITY);
  if (sum >= FOUR_BYTE_FROM) {
    const unsigned char bytes[] = {0xFE, byte_of(sum, 16), byte_of(sum, 8), byte_of(sum, 0)};
    std::memcpy(field, bytes, sizeof bytes);
  } else if (sum >= THREE_BYTE_FROM) {
    const unsigned char bytes[] = {0xFF, byte_of(sum, 8), byte_of(sum, 0)};
    std::memcpy(field, bytes, sizeof bytes);
  } else {
    field[0] = byte_of(sum, 0);
  }
  // The field is a zero-terminated piece: its first zero byte ends it.
  const std::size_t length = bounded_length(field, CHECKSUM_FIELD_CAPACITY);
  std::memset(field + length, 0, CHECKSUM_FIELD_CAPACITY - length);
  return length;
}

bool expects_reply(const unsigned char* frame) {
  const std::size_t length = bounded_length(frame, FRAME_CAPACITY);
  return std::memchr(frame, AT_SIGN, length) != nullptr &&
         std::memchr(frame, ASTERISK, length) == nullptr;
}
