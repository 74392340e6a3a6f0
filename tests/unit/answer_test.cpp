// The device's delayed replies: sent in the order they fall due, across
// the millisecond clock's wrap; a full queue, a reply the loop guard
// refuses when it is due and a send that fails leave the rule's sequence
// where it was. Over a
// double of device_net.cpp: a clock the test sets, and sends recorded.
#include "answer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "show.h"

namespace {

std::uint32_t clock_now = 0;
std::string sent;                            // "TEXT@TIME " for each reply sent
constexpr std::uint16_t UNREACHABLE = 5999;  // a send to this port fails

}  // namespace

std::uint32_t net_milliseconds() { return clock_now; }
int net_send(net_socket /*s*/, const unsigned char* data, int length, NetAddress to,
             std::uint32_t /*from_ip*/) {
  if (to.port == UNREACHABLE) {
    return 0;
  }
  sent += std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length)) + "@" +
          std::to_string(clock_now) + " ";
  return 1;
}
int net_last_error() { return 0; }
void net_error_text(int /*code*/, char* text, std::size_t /*capacity*/) { text[0] = 0; }
void net_wall_clock(std::uint32_t* seconds, std::uint32_t* microseconds) {
  *seconds = 0;
  *microseconds = 0;
}
int file_create(const char* /*path*/) { return -1; }
int file_write(int /*file*/, const unsigned char* /*bytes*/, std::size_t /*length*/) { return 0; }
void file_cut(int /*file*/, std::size_t /*length*/) {}
void file_close(int /*file*/) {}

namespace {

constexpr std::uint32_t LOOPBACK = 0x7F000001U;

// At `at`: `count` commands `message` from port `port` (nullptr: none),
// then the replies due are sent, as the device's loop does.
struct Event {
  std::uint32_t at;
  std::uint16_t port;
  const char* message;
  int count = 1;
};

struct QueueRow {
  const char* name;
  std::string rules;
  std::vector<Event> events;
  std::string sent;
};

void PrintTo(const QueueRow& row, std::ostream* out) { *out << row.name; }

class DelayedReplies : public ::testing::TestWithParam<QueueRow> {};

TEST_P(DelayedReplies, SentInDueOrderStepTakenOnlyWhenSent) {
  const QueueRow& row = GetParam();
  static Rules rules;
  static Responder responder;
  RulesError error;
  ASSERT_EQ(parse_rules(reinterpret_cast<const unsigned char*>(row.rules.data()), row.rules.size(),
                        &rules, &error),
            1);
  DeviceOptions options{};
  options.rules_path = "rules.txt";
  responder = Responder{};
  responder.options = &options;
  responder.rules = &rules;
  responder.sockets.bound = NetAddress{LOOPBACK, DEFAULT_PORT};
  responder.sockets.replying = responder.sockets.bound;
  sent.clear();
  testing::internal::CaptureStdout();  // the delayed replies' lines
  long number = 0;
  for (const Event& event : row.events) {
    clock_now = event.at;
    for (int i = 0; event.message != nullptr && i < event.count; ++i) {
      FrameCheck check{};
      check.message = reinterpret_cast<const unsigned char*>(event.message);
      check.message_length = std::strlen(event.message);
      Datagram datagram{};
      datagram.number = ++number;
      datagram.path.from = NetAddress{LOOPBACK, event.port};
      char area[LINE_CAPACITY];
      Line line = line_in(area, sizeof area);
      answer(&responder, datagram, check, &line);
    }
    send_due(&responder, event.at);
  }
  (void)testing::internal::GetCapturedStdout();
  EXPECT_EQ(sent, row.sent);
}

// "@NAME => delay MS reply NAMEi" for i from 1 to `count`.
std::string sequence(const std::string& name, int count, int ms) {
  std::string rules;
  for (int i = 1; i <= count; ++i) {
    rules += "@" + name + " => delay " + std::to_string(ms) + " reply " + name + std::to_string(i) +
             "\n";
  }
  return rules;
}

// The replies NAMEi sent at `at`, for i from `first` to `last`.
std::string replies(const std::string& name, int first, int last, const std::string& at) {
  std::string all;
  for (int i = first; i <= last; ++i) {
    all += name + std::to_string(i) + "@" + at + " ";
  }
  return all;
}

constexpr std::uint32_t WRAP = 0xFFFFFF00U;  // 256 ms before the clock wraps
constexpr int FULL = static_cast<int>(PENDING_CAPACITY);

// Columns: name, rules, the events in turn, the replies sent.
// clang-format off
const QueueRow QUEUES[] = {
    {"DueOrder",             "@A => delay 300 reply a\n@B => delay 100 reply b",
     {{0, 5000, "@A"}, {150, 5001, "@B"}, {249, 0, nullptr}, {310, 0, nullptr}},          "b@310 a@310 "},
    {"ClockWraps",           "@A => delay 300 reply a",
     {{WRAP, 5000, "@A"}, {0xFFFFFFFFU, 0, nullptr}, {43, 0, nullptr}, {44, 0, nullptr}}, "a@44 "},
    {"DueOrderAcrossTheWrap", "@A => delay 300 reply a\n@B => delay 100 reply b",
     {{WRAP, 5000, "@A"}, {WRAP + 0x80, 5001, "@B"}, {50, 0, nullptr}},                    "b@50 a@50 "},
    {"FullQueueKeepsTheStep", sequence("F", FULL, 1000) + "@S => delay 10 reply 1\n@S => delay 10 reply 2",
     {{0, 6000, "@F", FULL}, {0, 5000, "@S"}, {1000, 0, nullptr}, {1001, 5000, "@S"}, {1011, 0, nullptr}},
     replies("F", 1, 20, "1000") + "1@1011 "},
    {"FailedSendKeepsTheStep", "@S => reply 1\n@S => delay 10 reply 2\n@S => reply 3",
     {{0, UNREACHABLE, "@S"}, {1, 5000, "@S"}, {2, UNREACHABLE, "@S"}, {12, 0, nullptr}, {13, 5000, "@S"}, {23, 0, nullptr}},
     "1@1 2@23 "},
    {"RefusedWhenDueGivesItBack", sequence("R", 22, 10),
     {{0, 5000, "@R", 21}, {10, 0, nullptr}, {1010, 5000, "@R"}, {1020, 0, nullptr}},
     replies("R", 1, 20, "10") + "R21@1020 "},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Queues, DelayedReplies, ::testing::ValuesIn(QUEUES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
