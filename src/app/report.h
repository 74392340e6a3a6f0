// The console report of a run. Every line goes to standard output and is
// flushed as soon as it is written. Each function gives 1 when all its lines
// were written and flushed, 0 when any of them could not be.
#pragma once

#include <cstdint>

// Texts of the report that udpcmd-expect reads back (tools/expect).
constexpr char NO_REPLY_TEXT[] = "Wildcard used - no return expected.";
constexpr char DATA_LINE_START[] = "Data in received packet: ";
// The closing rule, with the two line feeds that follow it.
constexpr char CLOSING_TEXT[] =
    "\\---------------------------------------------------------------------/\n\n";

int print_usage();
int print_too_long();
// Opening rule, send line and progress line.
int print_opening(const unsigned char* message, std::uint16_t port, const char* address);
int print_no_reply();
// Received-port line and data line; the reply is shown byte for byte up to
// its first zero byte or its 32nd byte, whichever comes first.
int print_reply(std::uint16_t local_port, const unsigned char* reply);
int print_closing();
