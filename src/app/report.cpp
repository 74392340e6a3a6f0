#include "app/report.h"

#include "frame/frame.h"
#include "net/endpoint.h"
#include "text/line.h"

namespace {

// The longest line: the send line with a 31-byte message.
constexpr std::size_t LINE_AREA = 128;

int print(Line* line) {
  end_line(line);
  return platform::console_write(line->text, line->length);
}

int print_text(const char* text) {
  char area[LINE_AREA];
  Line line = line_in(area, sizeof area);
  append_text(&line, text);
  return print(&line);
}

}  // namespace

int print_usage() { return print_text("usage: udpcmd COMMAND"); }

int print_too_long() {
  return print_text(
      "Command too long: its frame must fit in 31 bytes (23 bytes of command always fit)");
}

int print_opening(const unsigned char* message, std::uint16_t port, const char* address) {
  const int opened =
      print_text("/---------------------------------------------------------------------\\");
  char area[LINE_AREA];
  Line line = line_in(area, sizeof area);
  append_text(&line, "Sent UDP Packet containing ");
  append_bytes(&line, message, bounded_length(message, MESSAGE_CAPACITY));
  append_text(&line, " to Port ");
  append_unsigned(&line, port);
  append_text(&line, " on ");
  append_text(&line, address);
  const int sent = print(&line);
  return print_text("...") && opened && sent;
}

int print_no_reply() { return print_text(NO_REPLY_TEXT); }

int print_reply(std::uint16_t local_port, const unsigned char* reply) {
  char area[LINE_AREA];
  Line port_line = line_in(area, sizeof area);
  append_text(&port_line, "Received UDP Packet on Port ");
  append_unsigned(&port_line, local_port);
  const int port_shown = print(&port_line);
  Line data_line = line_in(area, sizeof area);
  append_text(&data_line, DATA_LINE_START);
  append_bytes(&data_line, reply, bounded_length(reply, REPLY_CAPACITY));
  return print(&data_line) && port_shown;
}

int print_closing() { return print_text(CLOSING_TEXT); }
