#include "app/report.h"

#include <cstdio>

#include "frame/frame.h"
#include "net/endpoint.h"

namespace {

void print_line(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

void print_usage() { print_line("usage: udpcmd COMMAND"); }

void print_too_long() {
  print_line("Command too long: its frame must fit in 31 bytes (23 bytes of command always fit)");
}

void print_opening(const unsigned char* message, std::uint16_t port, const char* address) {
  print_line("/---------------------------------------------------------------------\\");
  std::printf("Sent UDP Packet containing %s to Port %u on %s\n",
              reinterpret_cast<const char*>(message), static_cast<unsigned>(port), address);
  std::fflush(stdout);
  print_line("...");
}

void print_no_reply() { print_line("Wildcard used - no return expected."); }

void print_reply(std::uint16_t local_port, const unsigned char* reply) {
  std::printf("Received UDP Packet on Port %u\n", static_cast<unsigned>(local_port));
  std::fflush(stdout);
  const int length = static_cast<int>(bounded_length(reply, REPLY_CAPACITY));
  std::printf("Data in received packet: %.*s\n", length, reinterpret_cast<const char*>(reply));
  std::fflush(stdout);
}

void print_closing() {
  print_line("\\---------------------------------------------------------------------/\n\n");
}
