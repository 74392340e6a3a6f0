// The console report of a run. Every line goes to standard output and is
// flushed as soon as it is written.
#pragma once

#include <cstdint>

void print_usage();
void print_too_long();
// Opening rule, send line and progress line.
void print_opening(const unsigned char* message, std::uint16_t port, const char* address);
void print_no_reply();
// Received-port line and data line; the reply is shown byte for byte up to
// its first zero byte or its 32nd byte, whichever comes first.
void print_reply(std::uint16_t local_port, const unsigned char* reply);
void print_closing();
