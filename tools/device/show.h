// The simulated device's console lines: assembled in a Line (text/line.h)
// and written whole, with one fwrite and a flush.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>

#include "device_net.h"
#include "text/line.h"

// Bytes shown of a longer datagram or reply, which is shown cut, with "...".
constexpr std::size_t SHOWN_BYTES = 64;
constexpr std::size_t LINE_CAPACITY = 2048;       // the longest datagram line fits whole
constexpr std::size_t ERROR_TEXT_CAPACITY = 256;  // the system's words for an error

// Status lines on standard error: the sign that the device is ready (its
// address and port follow), the end of an idle run, a port it cannot bind.
constexpr const char* LISTENING = "udpcmd-device listening on ";
constexpr const char* IDLE_OVER = "udpcmd-device: idle time over, exiting";
constexpr const char* CANNOT_BIND_LISTENING = "cannot bind the listening socket";

// Each text in turn.
void append_all(Line* line, std::initializer_list<const char*> texts);
// " 4F 4B": a space and two upper-case hex digits for each byte shown.
void append_hex(Line* line, const unsigned char* bytes, std::size_t length);
// The bytes shown in double quotation marks, everything but printable ASCII
// escaped (\" \\ \xHH), so the line stays one line whatever the bytes are.
void append_quoted(Line* line, const unsigned char* bytes, std::size_t length);
// `before`, the number in decimal, then `after`.
void append_number(Line* line, const char* before, unsigned long number, const char* after = "");
// "A.B.C.D:PORT".
void append_address(Line* line, NetAddress address);
// Ends the line and writes it to `stream` at once.
void print_line(std::FILE* stream, Line* line);
// ": REASON (error CODE)".
void append_reason(Line* line, const char* reason, int code);
// "udpcmd-device: PATH: REASON (error CODE)" and `after` on standard
// error, REASON in the C library's words for `code`, an errno value.
void print_file_error(const char* path, int code, const char* after = "");
