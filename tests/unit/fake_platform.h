// A test double of the platform socket layer: records every call, fails the
// one call a test names, and hands back staged bound ports and replies.
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

  // Observations.
  std::string calls;  // call names, each followed by a space
  std::vector<unsigned char> sent;
  sockaddr_in destination{};
  sockaddr_in bound_to{};
  int option_level = 0, option_name = 0, option_value = 0, option_length = 0;
  int receive_capacity = 0;
  int sends = 0;
  int closes = 0;
  socket_handle closed_handle{};
  int last_error = 0;
};

extern FakePlatform fake;
constexpr socket_handle FAKE_SOCKET = 7;

void reset_fake();
