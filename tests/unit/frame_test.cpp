#include "frame/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "test_data.h"
#include "validate.h"

// A row of the frame table is shown by its name.
static void PrintTo(const FrameRow& row, std::ostream* out) { *out << row.name; }

namespace {

using Bytes = std::vector<unsigned char>;

// Runs the frame steps of a run on `argument`; gives the frame, or an empty
// vector when the command is refused. A frame refused is left empty, with
// nothing to send; a frame built is one the device's check accepts, finding
// the message and the reply decision the program has.
Bytes frame_for(const std::string& argument, bool* accepted = nullptr) {
  unsigned char message[MESSAGE_CAPACITY];
  unsigned char frame[FRAME_CAPACITY];
  std::memset(frame, 0xAA, sizeof frame);
  bool ok = copy_message(message, argument.c_str()) != 0;
  if (ok) {
    substitute_apostrophes(message);
    ok = build_frame(message, frame) != 0;
    EXPECT_TRUE(ok || bounded_length(frame, FRAME_CAPACITY) == 0) << "refused frame not emptied";
  }
  if (accepted != nullptr) {
    *accepted = ok;
  }
  if (!ok) {
    return {};
  }
  const std::size_t length = bounded_length(frame, FRAME_CAPACITY);
  EXPECT_LT(length, FRAME_CAPACITY) << "frame not terminated";
  FrameCheck check{};
  if (!check_frame(frame, length, &check)) {
    ADD_FAILURE() << "the device refuses the frame: " << check.problem;
  } else {
    EXPECT_EQ(Bytes(check.message, check.message + check.message_length),
              Bytes(message, message + bounded_length(message, MESSAGE_CAPACITY)));
    EXPECT_EQ(check.expects_reply, expects_reply(frame));
  }
  return Bytes(frame, frame + length);
}

Bytes bytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

// One test per row of the frame table (tests/common/frames.txt).
class FrameTable : public ::testing::TestWithParam<FrameRow> {};

TEST_P(FrameTable, BuildsFrameChecksumAndReplyDecision) {
  const FrameRow& row = GetParam();
  const Bytes frame = frame_for(row.command);
  EXPECT_EQ(frame, bytes(row.frame));
  ASSERT_GE(frame.size(), 3U);
  // S covers everything from the second header byte to the end of text.
  const std::size_t end_of_text = 3 + std::strlen(row.command) + 1;
  EXPECT_EQ(checksum_sum(frame.data(), end_of_text), row.sum);
  unsigned char finished[FRAME_CAPACITY] = {};
  std::memcpy(finished, frame.data(), frame.size());
  EXPECT_EQ(expects_reply(finished), row.awaits_reply);
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameTable, ::testing::ValuesIn(FRAME_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

// Columns: checksum sum S, checksum field as written.
struct FieldRow {
  std::int32_t sum;
  Bytes field;
};

void PrintTo(const FieldRow& row, std::ostream* out) { *out << "S=" << row.sum; }

class ChecksumField : public ::testing::TestWithParam<FieldRow> {};

TEST_P(ChecksumField, ChoosesFormAndEndsAtFirstZeroByte) {
  unsigned char field[CHECKSUM_FIELD_CAPACITY];
  std::memset(field, 0xAA, sizeof field);
  const std::size_t length = checksum_field(GetParam().sum, field);
  EXPECT_EQ(Bytes(field, field + length), GetParam().field);
  EXPECT_EQ(field[length], 0) << "field not terminated";
}

INSTANTIATE_TEST_SUITE_P(
    FormBoundaries, ChecksumField,
    ::testing::Values(FieldRow{249, {0xF9}}, FieldRow{250, {0xFF}}, FieldRow{255, {0xFF}},
                      FieldRow{256, {0xFF, 0x01}}, FieldRow{257, {0xFF, 0x01, 0x01}},
                      FieldRow{0x1234, {0xFF, 0x12, 0x34}}, FieldRow{65535, {0xFF, 0xFF, 0xFF}},
                      FieldRow{65536, {0xFE, 0x01}}, FieldRow{65537, {0xFE, 0x01}},
                      FieldRow{0x010203, {0xFE, 0x01, 0x02, 0x03}},
                      FieldRow{0x7FFFFFFF, {0xFE, 0xFF, 0xFF, 0xFF}}, FieldRow{1, {0x01}},
                      FieldRow{0, {}}, FieldRow{-1, {0xFF}}, FieldRow{-256, {}},
                      FieldRow{-257, {0xFF}}, FieldRow{-3182, {0x92}}));

TEST(ApostropheSpan, OnlyTheFirst22PositionsAreSubstituted) {
  const Bytes frame = frame_for(std::string(23, '\''));
  ASSERT_EQ(frame.size(), 31U);
  const std::string message(frame.begin() + 3, frame.begin() + 26);
  EXPECT_EQ(message, std::string(22, '"') + "'");

  unsigned char area[MESSAGE_CAPACITY] = {};
  std::memcpy(area, "a'b", 3);
  substitute_apostrophes(area);
  EXPECT_STREQ(reinterpret_cast<char*>(area), "a\"b");
}

// Columns: name, argument, accepted, frame length when accepted.
struct FitRow {
  const char* name;
  std::string argument;
  bool accepted;
  std::size_t frame_length;
};

void PrintTo(const FitRow& row, std::ostream* out) { *out << row.name; }

class FitLimit : public ::testing::TestWithParam<FitRow> {};

TEST_P(FitLimit, AcceptsExactlyWhatFitsAndNeverCutsShort) {
  bool accepted = false;
  const Bytes frame = frame_for(GetParam().argument, &accepted);
  ASSERT_EQ(accepted, GetParam().accepted);
  if (accepted) {
    EXPECT_EQ(frame.size(), GetParam().frame_length);
    const std::string message(frame.begin() + 3, frame.begin() + 3 + GetParam().argument.size());
    EXPECT_EQ(message, GetParam().argument) << "message changed on its way into the frame";
  }
}

// High bytes make S small, and a short checksum field lets longer commands fit;
// bytes above 0x7F and end-of-text bytes go into the frame as they are.
INSTANTIATE_TEST_SUITE_P(
    Limits, FitLimit,
    ::testing::Values(FitRow{"ThreeByteField23", std::string(23, 'z'), true, 31},
                      FitRow{"ThreeByteField24", std::string(24, 'z'), false, 0},
                      FitRow{"TwoByteField24", std::string(22, 't') + "{{", true, 31},
                      FitRow{"OneByteField25", std::string(25, '\x80'), true, 31},
                      FitRow{"OneByteField26", std::string(26, '\x80'), false, 0},
                      FitRow{"EmptyField26", std::string(25, '\x80') + "n", true, 31},
                      FitRow{"Message31", std::string(31, '\x80'), false, 0},
                      FitRow{"Message32", std::string(32, 'a'), false, 0},
                      FitRow{"Message300", std::string(300, 'a'), false, 0},
                      FitRow{"HighBytes", "\x80\xA7\xFF", true, 9},
                      FitRow{"EndOfTextInside", "A\rB", true, 9},
                      FitRow{"EndOfTextAlone", "\r", true, 7}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
