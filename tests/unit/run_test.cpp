#include "app/run.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "net/endpoint.h"

namespace {

const std::string OPENING = "/" + std::string(69, '-') + "\\\n";
const std::string CLOSING = "\\" + std::string(69, '-') + "/\n\n\n";
const std::string SENT_AB = "Sent UDP Packet containing AB to Port 2639 on 192.168.0.254\n";
const std::string SENT_AT1 = "Sent UDP Packet containing @1 to Port 2639 on 192.168.0.254\n";
const std::string NO_REPLY = "Wildcard used - no return expected.\n";
const std::string RECEIVED = "Received UDP Packet on Port 49152\n";
const std::string TOO_LONG =
    "Command too long: its frame must fit in 31 bytes (23 bytes of command always fit)\n";

const std::string SETUP = "WSAStartup socket setsockopt bind getsockname sendto ";

struct RunResult {
  int status;
  std::string output;
};

RunResult run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int status = run_exchange(static_cast<int>(args.size()), argv.data());
  return {status, fake.console};
}

// Columns: name, arguments, call made to fail, its error code, staged reply,
// exit status, standard output, platform calls in order.
struct RunRow {
  const char* name;
  std::vector<std::string> args;
  std::string fail_call;
  int fail_code;
  std::vector<unsigned char> reply;
  int status;
  std::string output;
  std::string calls;
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

class RunSequence : public ::testing::TestWithParam<RunRow> {
 protected:
  void SetUp() override { reset_fake(); }
};

TEST_P(RunSequence, PrintsReportAndClosesSocketOnEveryPath) {
  const RunRow& row = GetParam();
  fake.fail_call = row.fail_call;
  fake.fail_code = row.fail_code;
  fake.reply = row.reply;
  const RunResult result = run(row.args);
  EXPECT_EQ(result.status, row.status);
  EXPECT_EQ(result.output, row.output);
  EXPECT_EQ(fake.calls, row.calls);
  EXPECT_LE(fake.sends, 1);
  const bool opened = row.calls.find("socket ") != std::string::npos && row.fail_call != "socket";
  EXPECT_EQ(fake.closes, opened ? 1 : 0);
  if (opened) {
    EXPECT_EQ(fake.closed_handle, FAKE_SOCKET);
  }
}

using U = std::vector<unsigned char>;
INSTANTIATE_TEST_SUITE_P(
    Paths, RunSequence,
    ::testing::Values(
        RunRow{"NoReplyAwaited",
               {"udpcmd", "AB"},
               "",
               0,
               {},
               1,
               OPENING + SENT_AB + "...\n" + NO_REPLY + CLOSING,
               SETUP + "closesocket "},
        RunRow{"FurtherArgumentsIgnored",
               {"udpcmd", "AB", "@1", "x"},
               "",
               0,
               {},
               1,
               OPENING + SENT_AB + "...\n" + NO_REPLY + CLOSING,
               SETUP + "closesocket "},
        RunRow{"Reply",
               {"udpcmd", "@1"},
               "",
               0,
               U{'O', 'K'},
               1,
               OPENING + SENT_AT1 + "...\n" + RECEIVED + "Data in received packet: OK\n" + CLOSING,
               SETUP + "recvfrom closesocket "},
        RunRow{"EmptyReply",
               {"udpcmd", "@1"},
               "",
               0,
               U{},
               1,
               OPENING + SENT_AT1 + "...\n" + RECEIVED + "Data in received packet: \n" + CLOSING,
               SETUP + "recvfrom closesocket "},
        RunRow{"ReplyEndsAtZeroByte",
               {"udpcmd", "@1"},
               "",
               0,
               U{'A', 'B', 0, 'C'},
               1,
               OPENING + SENT_AT1 + "...\n" + RECEIVED + "Data in received packet: AB\n" + CLOSING,
               SETUP + "recvfrom closesocket "},
        RunRow{"FullReplyShownWhole",
               {"udpcmd", "@1"},
               "",
               0,
               U(32, 'r'),
               1,
               OPENING + SENT_AT1 + "...\n" + RECEIVED +
                   "Data in received packet: " + std::string(32, 'r') + "\n" + CLOSING,
               SETUP + "recvfrom closesocket "},
        RunRow{"OversizeReplyFails",
               {"udpcmd", "@1"},
               "",
               0,
               U(33, 'r'),
               -1,
               OPENING + SENT_AT1 + "...\n" +
                   "Recv Error Winsock Error: " + std::to_string(MESSAGE_TOO_LONG) + "\n",
               SETUP + "recvfrom closesocket "},
        RunRow{"ReceiveFails",
               {"udpcmd", "@1"},
               "recvfrom",
               10054,
               {},
               -1,
               OPENING + SENT_AT1 + "...\n" + "Recv Error Winsock Error: 10054\n",
               SETUP + "recvfrom closesocket "},
        RunRow{"ReceiveInterrupted",
               {"udpcmd", "@1"},
               "recvfrom",
               INTERRUPTED_CALL,
               {},
               1,
               OPENING + SENT_AT1 + "...\n" + RECEIVED + "Data in received packet: \n" + CLOSING,
               SETUP + "recvfrom closesocket "},
        RunRow{"SocketFails",
               {"udpcmd", "AB"},
               "socket",
               10093,
               {},
               -1,
               "Socket Failed: 10093\n",
               "WSAStartup socket "},
        RunRow{"BroadcastRefused",
               {"udpcmd", "AB"},
               "setsockopt",
               10042,
               {},
               -1,
               "SetSockOpt SO_BROADCAST failed: 10042\n",
               "WSAStartup socket setsockopt closesocket "},
        RunRow{"BindRefused",
               {"udpcmd", "AB"},
               "bind",
               10048,
               {},
               -1,
               "bind failed: 10048\n",
               "WSAStartup socket setsockopt bind closesocket "},
        RunRow{"SendRefused",
               {"udpcmd", "AB"},
               "sendto",
               10065,
               {},
               -1,
               "sendto failed: 10065\n",
               SETUP + "closesocket "},
        RunRow{"NegativeCode",
               {"udpcmd", "AB"},
               "sendto",
               -7,
               {},
               -1,
               "sendto failed: -7\n",
               SETUP + "closesocket "},
        RunRow{"NoArgument", {"udpcmd"}, "", 0, {}, -1, "usage: udpcmd COMMAND\n", ""},
        RunRow{"MessageTooLong", {"udpcmd", std::string(32, 'a')}, "", 0, {}, -1, TOO_LONG, ""},
        RunRow{"FrameTooLong", {"udpcmd", std::string(24, 'z')}, "", 0, {}, -1, TOO_LONG, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override { reset_fake(); }
};

TEST_F(Endpoint, SocketCallsGetWhatTheDeviceExpects) {
  const RunResult result = run({"udpcmd", "it's"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("containing it\"s to Port"), std::string::npos);
  EXPECT_EQ(fake.option_level, SOL_SOCKET);
  EXPECT_EQ(fake.option_name, SO_BROADCAST);
  EXPECT_EQ(fake.option_value, 1);
  EXPECT_EQ(fake.option_length, 4);
  EXPECT_EQ(fake.bound_to.sin_family, AF_INET);
  EXPECT_EQ(fake.bound_to.sin_port, htons(0));
  EXPECT_EQ(fake.bound_to.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(fake.destination.sin_family, AF_INET);
  EXPECT_EQ(fake.destination.sin_port, htons(2639));
  EXPECT_EQ(fake.destination.sin_addr.s_addr, inet_addr("192.168.0.254"));
  const U frame{0xF1, 0x01, 0x04, 0x69, 0x74, 0x22, 0x73, 0x0D, 0xFF, 0x01, 0x84, 0xF2};
  EXPECT_EQ(fake.sent, frame);
}

TEST_F(Endpoint, ReceivesIntoTheWhole32ByteBufferAndNoMore) {
  run({"udpcmd", "."});  // the checksum byte 0x40 asks for a reply
  EXPECT_EQ(fake.calls, SETUP + "recvfrom closesocket ");
  EXPECT_EQ(fake.receive_capacity, REPLY_CAPACITY);
}

TEST_F(Endpoint, ReportsTheRunsOwnBoundPort) {
  fake.bound_ports = {50001};
  fake.reply = {'x'};
  const RunResult result = run({"udpcmd", "@1"});
  EXPECT_NE(result.output.find("Received UDP Packet on Port 50001\n"), std::string::npos);
}

// Columns: name, local ports the system assigns in turn, whether it accepts a
// second bind, exit status, first line printed, number of binds.
struct BindRow {
  const char* name;
  std::vector<std::uint16_t> ports;
  bool rebind_allowed;
  int status;
  std::string first_line;
  int binds;
};

void PrintTo(const BindRow& row, std::ostream* out) { *out << row.name; }

class DevicePortAssigned : public ::testing::TestWithParam<BindRow> {};

TEST_P(DevicePortAssigned, EndsInBindFailure) {
  reset_fake();
  fake.bound_ports = GetParam().ports;
  fake.rebind_allowed = GetParam().rebind_allowed;
  const RunResult result = run({"udpcmd", "AB"});
  EXPECT_EQ(result.status, GetParam().status);
  EXPECT_EQ(result.output.substr(0, result.output.find('\n') + 1), GetParam().first_line);
  std::size_t binds = 0;
  for (std::size_t at = fake.calls.find("bind "); at != std::string::npos;
       at = fake.calls.find("bind ", at + 1)) {
    ++binds;
  }
  EXPECT_EQ(binds, static_cast<std::size_t>(GetParam().binds));
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(fake.sends, GetParam().status == 1 ? 1 : 0);
}

const std::string BIND_REFUSED = "bind failed: " + std::to_string(ALREADY_BOUND) + "\n";
INSTANTIATE_TEST_SUITE_P(
    Ports, DevicePortAssigned,
    ::testing::Values(BindRow{"RebindRefused", {2639}, false, -1, BIND_REFUSED, 2},
                      BindRow{"RebindAcceptedSamePort", {2639, 2639}, true, -1, BIND_REFUSED, 2},
                      BindRow{"RebindAcceptedOtherPort", {2639, 40000}, true, 1, OPENING, 2},
                      BindRow{"OtherPort", {2640}, false, 1, OPENING, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Columns: name, arguments, staged reply, first console line that cannot be
// written (0: standard output closed at the start), platform calls in order.
struct LostRow {
  const char* name;
  std::vector<std::string> args;
  std::vector<unsigned char> reply;
  int fails_from;
  std::string calls;
};

void PrintTo(const LostRow& row, std::ostream* out) { *out << row.name; }

class LostReport : public ::testing::TestWithParam<LostRow> {};

// The run goes on in its usual order, but ends with -1.
TEST_P(LostReport, IsAFailure) {
  reset_fake();
  fake.console_closed = GetParam().fails_from == 0;
  fake.console_fails_from = GetParam().fails_from;
  fake.reply = GetParam().reply;
  const RunResult result = run(GetParam().args);
  EXPECT_EQ(result.status, RUN_FAILED);
  EXPECT_EQ(fake.calls, GetParam().calls);
  EXPECT_EQ(fake.closes, GetParam().calls.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LostReport,
    ::testing::Values(
        LostRow{"ClosedAtStart", {"udpcmd", "@1"}, {}, 0, ""},
        LostRow{"OpeningRule", {"udpcmd", "AB"}, {}, 1, SETUP + "closesocket "},
        LostRow{"ClosingRule", {"udpcmd", "AB"}, {}, 5, SETUP + "closesocket "},
        LostRow{"DataLine", {"udpcmd", "@1"}, {'O', 'K'}, 5, SETUP + "recvfrom closesocket "},
        LostRow{
            "ClosingAfterReply", {"udpcmd", "@1"}, {'O', 'K'}, 6, SETUP + "recvfrom closesocket "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
