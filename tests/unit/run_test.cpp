#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "net/endpoint.h"
#include "test_data.h"

namespace {

// The report's lines, from the test data's texts.
std::string opening(const char* message) {
  char sent[128];
  std::snprintf(sent, sizeof sent, REPORT_SENT, message, 2639U, "192.168.0.254");
  return REPORT_OPENING "\n" + std::string(sent) + "\n" REPORT_PROGRESS "\n";
}

// The fake's first bound port is 49152.
std::string received(const std::string& data) {
  char lines[128];
  std::snprintf(lines, sizeof lines, REPORT_RECEIVED "\n" REPORT_DATA "\n", 49152U, data.c_str());
  return lines + std::string(REPORT_CLOSING "\n");
}

const std::string OPENING = REPORT_OPENING "\n";
const std::string SENT_AB = opening("AB");
const std::string SENT_AT1 = opening("@1");
const std::string NO_REPLY = REPORT_NO_REPLY "\n" REPORT_CLOSING "\n";
const std::string TOO_LONG = REPORT_TOO_LONG "\n";

// The platform calls of a run up to its send, and of whole runs.
const std::string SETUP = "WSAStartup socket setsockopt bind getsockname sendto ";
const std::string SEND_CALLS = SETUP + "closesocket ";
const std::string RECEIVE_CALLS = SETUP + "recvfrom closesocket ";

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

// A path through a run (the columns are described above the table).
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
const std::string RECV_FAILED = SENT_AT1 + "Recv Error Winsock Error: ";
const std::string OVERSIZE = std::to_string(MESSAGE_TOO_LONG) + "\n";
// Columns: name, arguments, call made to fail, its error code, staged reply,
// exit status, standard output, platform calls in order.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, RunSequence, ::testing::Values(
    RunRow{"NoReplyAwaited",          {"udpcmd", "AB"},                 "",           0,                {},                   1, SENT_AB + NO_REPLY,                        SEND_CALLS},
    RunRow{"FurtherArgumentsIgnored", {"udpcmd", "AB", "@1", "x"},      "",           0,                {},                   1, SENT_AB + NO_REPLY,                        SEND_CALLS},
    RunRow{"Reply",                   {"udpcmd", "@1"},                 "",           0,                U{'O', 'K'},          1, SENT_AT1 + received("OK"),                 RECEIVE_CALLS},
    RunRow{"EmptyReply",              {"udpcmd", "@1"},                 "",           0,                U{},                  1, SENT_AT1 + received(""),                   RECEIVE_CALLS},
    RunRow{"ReplyEndsAtZeroByte",     {"udpcmd", "@1"},                 "",           0,                U{'A', 'B', 0, 'C'},  1, SENT_AT1 + received("AB"),                 RECEIVE_CALLS},
    RunRow{"FullReplyShownWhole",     {"udpcmd", "@1"},                 "",           0,                U(32, 'r'),           1, SENT_AT1 + received(std::string(32, 'r')), RECEIVE_CALLS},
    RunRow{"OversizeReplyFails",      {"udpcmd", "@1"},                 "",           0,                U(33, 'r'),          -1, RECV_FAILED + OVERSIZE,                    RECEIVE_CALLS},
    RunRow{"ReceiveFails",            {"udpcmd", "@1"},                 "recvfrom",   10054,            {},                  -1, RECV_FAILED + "10054\n",                   RECEIVE_CALLS},
    RunRow{"ReceiveInterrupted",      {"udpcmd", "@1"},                 "recvfrom",   INTERRUPTED_CALL, {},                   1, SENT_AT1 + received(""),                   RECEIVE_CALLS},
    RunRow{"SocketFails",             {"udpcmd", "AB"},                 "socket",     10093,            {},                  -1, "Socket Failed: 10093\n",                  "WSAStartup socket "},
    RunRow{"BroadcastRefused",        {"udpcmd", "AB"},                 "setsockopt", 10042,            {},                  -1, "SetSockOpt SO_BROADCAST failed: 10042\n", "WSAStartup socket setsockopt closesocket "},
    RunRow{"BindRefused",             {"udpcmd", "AB"},                 "bind",       10048,            {},                  -1, "bind failed: 10048\n",                    "WSAStartup socket setsockopt bind closesocket "},
    RunRow{"SendRefused",             {"udpcmd", "AB"},                 "sendto",     10065,            {},                  -1, "sendto failed: 10065\n",                  SEND_CALLS},
    RunRow{"NegativeCode",            {"udpcmd", "AB"},                 "sendto",     -7,               {},                  -1, "sendto failed: -7\n",                     SEND_CALLS},
    RunRow{"NoArgument",              {"udpcmd"},                       "",           0,                {},                  -1, REPORT_USAGE "\n",                         ""},
    RunRow{"MessageTooLong",          {"udpcmd", std::string(32, 'a')}, "",           0,                {},                  -1, TOO_LONG,                                  ""},
    RunRow{"FrameTooLong",            {"udpcmd", std::string(24, 'z')}, "",           0,                {},                  -1, TOO_LONG,                                  ""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override { reset_fake(); }
};

TEST_F(Endpoint, SocketCallsGetWhatTheDeviceExpects) {
  const RunResult result = run({"udpcmd", FRAME_APOSTROPHE.command});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, opening("it\"s") + NO_REPLY);
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
  const char* frame = FRAME_APOSTROPHE.frame;
  EXPECT_EQ(fake.sent, U(frame, frame + std::strlen(frame)));
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
    ::testing::Values(LostRow{"ClosedAtStart", {"udpcmd", "@1"}, {}, 0, ""},
                      LostRow{"OpeningRule", {"udpcmd", "AB"}, {}, 1, SEND_CALLS},
                      LostRow{"ClosingRule", {"udpcmd", "AB"}, {}, 5, SEND_CALLS},
                      LostRow{"DataLine", {"udpcmd", "@1"}, {'O', 'K'}, 5, RECEIVE_CALLS},
                      LostRow{"ClosingAfterReply", {"udpcmd", "@1"}, {'O', 'K'}, 6, RECEIVE_CALLS}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
