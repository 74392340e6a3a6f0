// Whom the simulated device may answer: never a source that may be itself,
// port 0, 0.0.0.0, the limited broadcast or a multicast address.
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

constexpr const char* ITSELF = "the source is this device's own address and port";
constexpr const char* MAYBE_ITSELF =
    "the source may be this device itself (one of its ports, and it is bound to every address)";

// One row of SOURCES.
struct SourceRow {
  const char* name;
  NetAddress source;
  NetAddress listener;
  std::uint16_t reply_port;
  const char* refusal;
};

void PrintTo(const SourceRow& row, std::ostream* out) { *out << row.name; }

class ReplyGuard : public ::testing::TestWithParam<SourceRow> {};

TEST_P(ReplyGuard, AnswersOnlyAnotherHost) {
  const SourceRow& row = GetParam();
  const char* refusal = reply_refusal(row.source, row.listener, row.reply_port);
  EXPECT_EQ(std::string(refusal != nullptr ? refusal : "(reply)"),
            std::string(row.refusal != nullptr ? row.refusal : "(reply)"));
}

// Columns: name, source, the listener's bound address, the port replies go
// out from, the reason for no reply (nullptr: the reply may go).
// clang-format off
const SourceRow SOURCES[] = {
    {"Udpcmd",                    {DEVICE, 45064},      {ANY, 2639},    2639,  nullptr},
    {"UdpcmdToBoundAddress",      {DEVICE, 45064},      {DEVICE, 2639}, 2639,  nullptr},
    {"PortZero",                  {DEVICE, 0},          {ANY, 2639},    2639,  "the source port is 0"},
    {"Unspecified",               {ANY, 5000},          {ANY, 2639},    2639,  "the source address is 0.0.0.0"},
    {"Broadcast",                 {0xFFFFFFFFU, 5000},  {ANY, 2639},    2639,  "the source is the broadcast address 255.255.255.255"},
    {"MulticastFirst",            {0xE0000001U, 5000},  {ANY, 2639},    2639,  "the source is a multicast address"},
    {"MulticastLast",             {0xEFFFFFFFU, 5000},  {ANY, 2639},    2639,  "the source is a multicast address"},
    {"BelowMulticast",            {0xDFFFFFFFU, 5000},  {ANY, 2639},    2639,  nullptr},
    {"AboveMulticast",            {0xF0000000U, 5000},  {ANY, 2639},    2639,  nullptr},
    {"BoundAnyOwnPort",           {DEVICE, 2639},       {ANY, 2639},    2639,  MAYBE_ITSELF},
    {"BoundAnyOwnPortOnLoopback", {LOOPBACK, 2639},     {ANY, 2639},    2639,  MAYBE_ITSELF},
    {"BoundAnyReplyPort",         {REMOTE, 40000},      {ANY, 2639},    40000, MAYBE_ITSELF},
    {"BoundAnyOtherPort",         {LOOPBACK, 2640},     {ANY, 2639},    40000, nullptr},
    {"BoundOwnAddressAndPort",    {DEVICE, 2639},       {DEVICE, 2639}, 2639,  ITSELF},
    {"BoundOwnReplyPort",         {DEVICE, 40000},      {DEVICE, 2639}, 40000, ITSELF},
    // Not a socket of the device: bound to one address, it hears no other.
    {"BoundOtherAddress",         {LOOPBACK, 2639},     {DEVICE, 2639}, 2639,  nullptr},
    {"BoundOtherPort",            {DEVICE, 2640},       {DEVICE, 2639}, 2639,  nullptr},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sources, ReplyGuard, ::testing::ValuesIn(SOURCES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
