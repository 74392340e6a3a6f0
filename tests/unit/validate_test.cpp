#include "validate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "test_data.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes built(const std::string& text) {
  unsigned char message[MESSAGE_CAPACITY];
  unsigned char frame[FRAME_CAPACITY];
  EXPECT_TRUE(copy_message(message, text.c_str()));
  substitute_apostrophes(message);
  EXPECT_TRUE(build_frame(message, frame));
  return Bytes(frame, frame + bounded_length(frame, FRAME_CAPACITY));
}

class ValidatorRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(ValidatorRoundTrip, AcceptsEveryBuiltFrameAndFindsItsMessage) {
  const Bytes frame = built(GetParam());
  FrameCheck check{};
  ASSERT_TRUE(check_frame(frame.data(), frame.size(), &check)) << check.problem;
  EXPECT_EQ(std::string(check.message, check.message + check.message_length).size(),
            GetParam().size());
  unsigned char area[FRAME_CAPACITY] = {};
  std::memcpy(area, frame.data(), frame.size());
  EXPECT_EQ(check.expects_reply, expects_reply(area));
}

std::vector<std::string> table_commands() {
  std::vector<std::string> commands;
  for (const FrameRow& row : FRAME_ROWS) {
    commands.emplace_back(row.command);
  }
  return commands;
}

// Column: the command text (udpcmd's argument). The frame table's commands
// (every checksum form), the longest frames, an end-of-text byte inside.
INSTANTIATE_TEST_SUITE_P(FrameTable, ValidatorRoundTrip, ::testing::ValuesIn(table_commands()));
INSTANTIATE_TEST_SUITE_P(Messages, ValidatorRoundTrip,
                         ::testing::Values(std::string(23, 'z'), std::string(25, '\x80') + "n",
                                           "A\rB", "\r"));

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
