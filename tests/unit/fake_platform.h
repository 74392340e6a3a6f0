// A test double of the platform layer: records every socket call and the
// console output, fails the one call or the console lines a test names, and
// hands back staged bound ports and replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/platform.h"

struct FakePlatform {
  // Staging.
  std::string fail_call;  // "socket", "setsockopt", "bind", "sendto", "recvfrom"
  int fail_code = 0;
  std::vector<std::uint16_t> bound_ports{49152};  // one per getsockname
  bool rebind_allowed = false;                    // real platforms refuse it
  std::vector<unsigned char> reply;
  bool console_closed = false;  // standard output not open at the start
  int console_fails_from = 0;   // lines from this one on are not written; 0: none

  // Observations.
  std::string calls;    // call names, each followed by a space
  std::string console;  // every line written to standard output
  int console_lines = 0;
  std::vector<unsigned char> sent;
  sockaddr_in destination{};
  sockaddr_in bound_to{};
  int option_level = 0, option_name = 0, option_value = 0, option_length = 0;
  int sends = 0;
  int closes = 0;
  socket_handle closed_handle{};
  int last_error = 0;
};

extern FakePlatform fake;
constexpr socket_handle FAKE_SOCKET = 7;

void reset_fake();
