// Datagrams the device refuses as malformed. That it accepts every frame the
// program builds is checked where frame_test.cpp builds them (frame_for).
#include "validate.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Columns: name, datagram, problem named.
struct MalformedRow {
  const char* name;
  Bytes datagram;
  const char* problem;
};

void PrintTo(const MalformedRow& row, std::ostream* out) { *out << row.name; }

class ValidatorRefuses : public ::testing::TestWithParam<MalformedRow> {};

TEST_P(ValidatorRefuses, NamesTheProblem) {
  FrameCheck check{};
  const Bytes& datagram = GetParam().datagram;
  EXPECT_FALSE(check_frame(datagram.data(), datagram.size(), &check));
  EXPECT_STREQ(check.problem, GetParam().problem);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Datagrams, ValidatorRefuses, ::testing::Values(
    MalformedRow{"Empty",             {},                                                    TOO_SHORT},
    MalformedRow{"HeaderOnly",        {0xF1, 0x01, 0x04, 0xF2},                              TOO_SHORT},
    MalformedRow{"Long",              Bytes(40, 0x41),                                       LONGER_THAN_31},
    MalformedRow{"ZeroInside",        {0xF1, 0x01, 0x04, 0x00, 0x0D, 0x12, 0xF2},            ZERO_INSIDE},
    MalformedRow{"BadHeader",         {0xF1, 0x02, 0x04, 0x0D, 0x13, 0xF2},                  BAD_HEADER},
    MalformedRow{"BadTrailer",        {0xF1, 0x01, 0x04, 0x0D, 0x12, 0xF3},                  BAD_TRAILER},
    MalformedRow{"WrongSum",          {0xF1, 0x01, 0x04, 0x41, 0x42, 0x0D, 0x96, 0xF2},      BAD_CHECKSUM},
    MalformedRow{"NoEndOfText",       {0xF1, 0x01, 0x04, 0x41, 0x42, 0x43, 0x95, 0xF2},      BAD_CHECKSUM},
    MalformedRow{"FieldNotCutAtZero", {0xF1, 0x01, 0x04, 0x74, 0x74, 0x0D, 0xFF, 0xFA, 0xF2}, BAD_CHECKSUM}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
