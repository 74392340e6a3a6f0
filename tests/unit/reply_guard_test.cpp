// Whom the simulated device may answer: never a source using one of its
// own ports, port 0, 0.0.0.0, the limited broadcast or a multicast address;
// to one source at most 20 replies within any one second and 30 in a row
// without a pause; never a refusal because other sources were answered.
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
    {"PortZero",                {DEVICE, 0},          2639, 2639,  SOURCE_PORT_ZERO},
    {"Unspecified",             {ANY, 5000},          2639, 2639,  SOURCE_ANY},
    {"Broadcast",               {0xFFFFFFFFU, 5000},  2639, 2639,  SOURCE_BROADCAST},
    {"MulticastFirst",          {0xE0000001U, 5000},  2639, 2639,  SOURCE_MULTICAST},
    {"MulticastLast",           {0xEFFFFFFFU, 5000},  2639, 2639,  SOURCE_MULTICAST},
    {"BelowMulticast",          {0xDFFFFFFFU, 5000},  2639, 2639,  nullptr},
    {"AboveMulticast",          {0xF0000000U, 5000},  2639, 2639,  nullptr},
    // The device itself, or another device on the same port: at any address.
    {"OwnPort",                 {DEVICE, 2639},       2639, 2639,  SOURCE_OWN_PORT},
    {"OwnPortAtAnotherAddress", {REMOTE, 2639},       2639, 2639,  SOURCE_OWN_PORT},
    {"ReplyPort",               {REMOTE, 40000},      2639, 40000, SOURCE_OWN_PORT},
    // Another device on another port: the rate limit ends such a loop.
    {"OtherPort",               {LOOPBACK, 2640},     2639, 40000, nullptr},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sources, ReplyGuard, ::testing::ValuesIn(SOURCES),
                         [](const auto& info) { return std::string(info.param.name); });

// One row of RATES: `replies` replies sent to FIRST, the first at `first`,
// then every `step` milliseconds; then one reply to each of `others` other
// sources (ports 6000, 6001, ... of REMOTE) at `at`, and a reply asked
// for `asked` at `at`, one that another device would answer. The replies
// to FIRST are such replies (answerable) or not.
struct RateRow {
  const char* name;
  bool answerable;
  int replies;
  std::uint32_t first;
  std::uint32_t step;
  int others;
  NetAddress asked;
  std::uint32_t at;
  const char* refusal;
};

void PrintTo(const RateRow& row, std::ostream* out) { *out << row.name; }

class ReplyRate : public ::testing::TestWithParam<RateRow> {};

constexpr NetAddress FIRST = {DEVICE, 5000};

TEST_P(ReplyRate, PerSecondAndInARowToOneSource) {
  const RateRow& row = GetParam();
  static ReplyLedger ledger;
  ledger = ReplyLedger{};
  const auto send = [](NetAddress to, std::uint32_t now, bool answerable) {
    ASSERT_EQ(shown(rate_refusal(&ledger, to, now, answerable)), shown(nullptr));
    count_reply(&ledger, to, now, answerable);
  };
  for (int reply = 0; reply < row.replies; ++reply) {
    send(FIRST, row.first + reply * row.step, row.answerable);
  }
  for (int other = 0; other < row.others; ++other) {
    send(NetAddress{REMOTE, static_cast<std::uint16_t>(6000 + other)}, row.at, false);
  }
  EXPECT_EQ(shown(rate_refusal(&ledger, row.asked, row.at, true)), shown(row.refusal));
}

constexpr std::uint32_t MINUTES_2 = 120000;
constexpr int ROW = REPLIES_IN_A_ROW;
constexpr std::uint32_t LAST = (ROW - 1) * 150;  // the last of ROW replies 150 ms apart

// Columns: name, answerable, replies to FIRST, first time, step, other sources, the
// source asked for, when, the reason for no reply (nullptr: it may go).
// clang-format off
const RateRow RATES[] = {
    {"TwentyWithinASecond",     false, 20, 0,           50,        0,    FIRST,          999,                   TOO_OFTEN},
    {"FirstOfThemASecondAgo",   false, 20, 0,           50,        0,    FIRST,          1000,                  nullptr},
    {"Nineteen",                false, 19, 0,           50,        0,    FIRST,          999,                   nullptr},
    {"OtherPortUnaffected",     false, 20, 0,           50,        0,    {DEVICE, 5001}, 999,                   nullptr},
    {"OtherAddressUnaffected",  false, 20, 0,           50,        0,    {REMOTE, 5000}, 999,                   nullptr},
    {"AcrossTheClocksWrap",     false, 20, 0xFFFFFF00U, 10,        0,    FIRST,          0x100,                 TOO_OFTEN},
    {"ThousandOthersAtOnce",    false, 0,  0,           0,         1000, {REMOTE, 5000}, 5,                     nullptr},
    {"LoopKeptAmongOthers",     true,  20, 0,           10,        1000, FIRST,          500,                   TOO_OFTEN},
    {"AllInARow",               true,  ROW,     0,   150,       0,    FIRST,          ROW * 150,             TOO_MANY_IN_A_ROW},
    {"OneLessInARow",           true,  ROW - 1, 0,   150,       0,    FIRST,          (ROW - 1) * 150,       nullptr},
    {"InARowTwoMinutesApart",   true,  ROW,     0,   MINUTES_2, 1000, FIRST,          ROW * MINUTES_2,       TOO_MANY_IN_A_ROW},
    {"PauseStartsAfresh",       true,  ROW,     0,   150,       0,    FIRST,          LAST + PAUSE_MS,       nullptr},
    {"JustBeforeThePauseEnds",  true,  ROW,     0,   150,       0,    FIRST,          LAST + PAUSE_MS - 1,   TOO_MANY_IN_A_ROW},
    {"PlainOnesNotInARow",      false, 100,     0,   60,       0,    FIRST,          100 * 60,              nullptr},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rates, ReplyRate, ::testing::ValuesIn(RATES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
