// Whom the simulated device may answer: never a source using one of its
// own ports, port 0, 0.0.0.0, the limited broadcast or a multicast address;
// and at most 20 replies to one source within any one second.
#include "reply_guard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

constexpr std::uint32_t ANY = 0;
constexpr std::uint32_t DEVICE = 0xC0A800FEU;  // 192.168.0.254
constexpr std::uint32_t LOOPBACK = 0x7F000001U;
constexpr std::uint32_t REMOTE = 0x0A000001U;  // 10.0.0.1

constexpr const char* OWN_PORT = "the source port is one of this device's own ports";
constexpr const char* TOO_OFTEN = "20 replies went to this source within the last second";
constexpr const char* NO_ROOM = "64 other sources were answered within the last second";

std::string shown(const char* refusal) { return refusal != nullptr ? refusal : "(reply)"; }

// One row of SOURCES.
struct SourceRow {
  const char* name;
  NetAddress source;
  std::uint16_t listening_port;
  std::uint16_t reply_port;
  const char* refusal;
};

void PrintTo(const SourceRow& row, std::ostream* out) { *out << row.name; }

class ReplyGuard : public ::testing::TestWithParam<SourceRow> {};

TEST_P(ReplyGuard, AnswersOnlyAnotherHost) {
  const SourceRow& row = GetParam();
  EXPECT_EQ(shown(reply_refusal(row.source, row.listening_port, row.reply_port)),
            shown(row.refusal));
}

// Columns: name, source, the listening port, the port replies go out
// from, the reason for no reply (nullptr: the reply may go).
// clang-format off
const SourceRow SOURCES[] = {
    {"Udpcmd",                  {DEVICE, 45064},      2639, 2639,  nullptr},
    {"PortZero",                {DEVICE, 0},          2639, 2639,  "the source port is 0"},
    {"Unspecified",             {ANY, 5000},          2639, 2639,  "the source address is 0.0.0.0"},
    {"Broadcast",               {0xFFFFFFFFU, 5000},  2639, 2639,  "the source is the broadcast address 255.255.255.255"},
    {"MulticastFirst",          {0xE0000001U, 5000},  2639, 2639,  "the source is a multicast address"},
    {"MulticastLast",           {0xEFFFFFFFU, 5000},  2639, 2639,  "the source is a multicast address"},
    {"BelowMulticast",          {0xDFFFFFFFU, 5000},  2639, 2639,  nullptr},
    {"AboveMulticast",          {0xF0000000U, 5000},  2639, 2639,  nullptr},
    // The device itself, or another device on the same port: at any address.
    {"OwnPort",                 {DEVICE, 2639},       2639, 2639,  OWN_PORT},
    {"OwnPortOnLoopback",       {LOOPBACK, 2639},     2639, 2639,  OWN_PORT},
    {"OwnPortAtAnotherAddress", {REMOTE, 2639},       2639, 2639,  OWN_PORT},
    {"ReplyPort",               {REMOTE, 40000},      2639, 40000, OWN_PORT},
    // Another device on another port: the rate limit ends such a loop.
    {"OtherPort",               {LOOPBACK, 2640},     2639, 40000, nullptr},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sources, ReplyGuard, ::testing::ValuesIn(SOURCES),
                         [](const auto& info) { return std::string(info.param.name); });

// One row of RATES: `replies` replies sent to each of `sources` sources
// (ports 5000, 5001, ... of DEVICE), the first at `first`, then every
// `step` milliseconds; then a reply to `asked` at `at`.
struct RateRow {
  const char* name;
  int sources;
  int replies;
  std::uint32_t first;
  std::uint32_t step;
  NetAddress asked;
  std::uint32_t at;
  const char* refusal;
};

void PrintTo(const RateRow& row, std::ostream* out) { *out << row.name; }

class ReplyRate : public ::testing::TestWithParam<RateRow> {};

TEST_P(ReplyRate, AtMostTwentyASecondToOneSource) {
  const RateRow& row = GetParam();
  static ReplyLedger ledger;
  ledger = ReplyLedger{};
  for (int source = 0; source < row.sources; ++source) {
    for (int reply = 0; reply < row.replies; ++reply) {
      const NetAddress to = {DEVICE, static_cast<std::uint16_t>(5000 + source)};
      ASSERT_EQ(rate_refusal(&ledger, to, row.first + reply * row.step), nullptr);
      count_reply(&ledger, to, row.first + reply * row.step);
    }
  }
  EXPECT_EQ(shown(rate_refusal(&ledger, row.asked, row.at)), shown(row.refusal));
}

constexpr NetAddress FIRST = {DEVICE, 5000};

// Columns: name, sources, replies to each, first time, step, the source
// asked for, when, the reason for no reply (nullptr: the reply may go).
// clang-format off
const RateRow RATES[] = {
    {"TwentyWithinASecond",     1,  20, 0,           50, FIRST,             999,        TOO_OFTEN},
    {"FirstOfThemASecondAgo",   1,  20, 0,           50, FIRST,             1000,       nullptr},
    {"Nineteen",                1,  19, 0,           50, FIRST,             999,        nullptr},
    {"OtherPortUnaffected",     1,  20, 0,           50, {DEVICE, 5001},    999,        nullptr},
    {"OtherAddressUnaffected",  1,  20, 0,           50, {REMOTE, 5000},    999,        nullptr},
    {"AcrossTheClocksWrap",     1,  20, 0xFFFFFF00U, 10, FIRST,             0x100,      TOO_OFTEN},
    {"NoRoomForAnotherSource",  64, 1,  0,           0,  {REMOTE, 5000},    999,        NO_ROOM},
    {"RoomAgainAfterASecond",   64, 1,  0,           0,  {REMOTE, 5000},    1000,       nullptr},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rates, ReplyRate, ::testing::ValuesIn(RATES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
