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

// Columns: name, source, the listener's bound address, the port replies go
// out from, the reason for no reply (nullptr: the reply may go).
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

INSTANTIATE_TEST_SUITE_P(
    Sources, ReplyGuard,
    ::testing::Values(
        SourceRow{"Udpcmd", {DEVICE, 45064}, {ANY, 2639}, 2639, nullptr},
        SourceRow{"UdpcmdToBoundAddress", {DEVICE, 45064}, {DEVICE, 2639}, 2639, nullptr},
        SourceRow{"PortZero", {DEVICE, 0}, {ANY, 2639}, 2639, "the source port is 0"},
        SourceRow{"Unspecified", {ANY, 5000}, {ANY, 2639}, 2639, "the source address is 0.0.0.0"},
        SourceRow{"Broadcast",
                  {0xFFFFFFFFU, 5000},
                  {ANY, 2639},
                  2639,
                  "the source is the broadcast address 255.255.255.255"},
        SourceRow{"MulticastFirst",
                  {0xE0000001U, 5000},
                  {ANY, 2639},
                  2639,
                  "the source is a multicast address"},
        SourceRow{"MulticastLast",
                  {0xEFFFFFFFU, 5000},
                  {ANY, 2639},
                  2639,
                  "the source is a multicast address"},
        SourceRow{"BelowMulticast", {0xDFFFFFFFU, 5000}, {ANY, 2639}, 2639, nullptr},
        SourceRow{"AboveMulticast", {0xF0000000U, 5000}, {ANY, 2639}, 2639, nullptr},
        SourceRow{"BoundAnyOwnPort", {DEVICE, 2639}, {ANY, 2639}, 2639, MAYBE_ITSELF},
        SourceRow{"BoundAnyOwnPortOnLoopback", {LOOPBACK, 2639}, {ANY, 2639}, 2639, MAYBE_ITSELF},
        SourceRow{"BoundAnyReplyPort", {REMOTE, 40000}, {ANY, 2639}, 40000, MAYBE_ITSELF},
        SourceRow{"BoundAnyOtherPort", {LOOPBACK, 2640}, {ANY, 2639}, 40000, nullptr},
        SourceRow{"BoundOwnAddressAndPort", {DEVICE, 2639}, {DEVICE, 2639}, 2639, ITSELF},
        SourceRow{"BoundOwnReplyPort", {DEVICE, 40000}, {DEVICE, 2639}, 40000, ITSELF},
        // Not a socket of the device: bound to one address, it hears no other.
        SourceRow{"BoundOtherAddress", {LOOPBACK, 2639}, {DEVICE, 2639}, 2639, nullptr},
        SourceRow{"BoundOtherPort", {DEVICE, 2640}, {DEVICE, 2639}, 2639, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
