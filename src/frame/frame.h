// Command frame: layout, apostrophe substitution, checksum field and the
// decision whether the device answers. Pure computation on fixed byte areas.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t MESSAGE_CAPACITY = 32;        // 31 bytes of text + terminator
constexpr std::size_t FRAME_CAPACITY = 32;          // 31 bytes of frame + terminator
constexpr std::size_t APOSTROPHE_SPAN = 22;         // positions examined for 0x27
constexpr std::size_t CHECKSUM_FIELD_CAPACITY = 5;  // 4 bytes + terminator
constexpr std::size_t REPLY_CAPACITY = 32;          // the longest reply the program takes

constexpr unsigned char FRAME_HEADER[] = {0xF1, 0x01, 0x04, 0x00};
constexpr unsigned char END_OF_TEXT[] = {0x0D, 0x00};
constexpr unsigned char FRAME_TRAILER[] = {0xF2, 0x00};

// Length of a zero-terminated byte string, looking at no more than
// `capacity` bytes; gives `capacity` when there is no terminator.
std::size_t bounded_length(const unsigned char* bytes, std::size_t capacity);

// Copies the argument into the zero-filled message area. Gives 0, leaving
// the area empty, when the argument is longer than 31 bytes.
int copy_message(unsigned char* message, const char* argument);

// Turns apostrophes (0x27) in the first 22 positions of the message into
// double quotation marks (0x22), in place.
void substitute_apostrophes(unsigned char* message);

// Assembles header, message, end of text, checksum field and trailer in the
// frame area. Gives 1, or 0 with the frame area zero-filled when the frame
// would not fit in 31 bytes.
int build_frame(const unsigned char* message, unsigned char* frame);

// Appends the checksum field for the frame assembled so far. Gives 0, with
// the frame unchanged, when the field does not fit.
int append_checksum(unsigned char* frame);

// The checksum sum S over bytes 1 .. length-1, each read as a signed byte.
std::int32_t checksum_sum(const unsigned char* frame, std::size_t length);

// Writes the zero-terminated checksum field for S (cut at its first zero
// byte) into `field` and gives its length (0 to 4).
std::size_t checksum_field(std::int32_t sum, unsigned char* field);

// True when the finished frame holds an at sign and no asterisk.
bool expects_reply(const unsigned char* frame);
