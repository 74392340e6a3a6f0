// udpcmd-device: a stand-in for the device at the other end of udpcmd. It
// reports every datagram it receives on one line of standard output and
// answers the command frames that await a reply.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device_net.h"
#include "options.h"
#include "validate.h"

namespace {

constexpr int RECEIVE_CAPACITY = 65536;  // more than any UDP payload
constexpr std::size_t SHOWN_BYTES = 64;  // a longer datagram is shown cut, with "..."
constexpr std::size_t LINE_CAPACITY = 1024;
constexpr std::size_t REPLY_CAPACITY = 32;
constexpr int FAILURES_IN_A_ROW = 16;
constexpr unsigned char ACKNOWLEDGEMENT[] = {'O', 'K', ' '};

struct Line {
  char text[LINE_CAPACITY];
  std::size_t length;
};

void append(Line* line, const char* format, ...) {
  const std::size_t room = LINE_CAPACITY - line->length;
  std::va_list values;
  va_start(values, format);
  const int written = std::vsnprintf(line->text + line->length, room, format, values);
  va_end(values);
  if (written > 0) {
    line->length +=
        static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room - 1;
  }
}

void append_hex(Line* line, const unsigned char* bytes, std::size_t length) {
  const std::size_t shown = std::min(length, SHOWN_BYTES);
  for (std::size_t i = 0; i < shown; ++i) {
    append(line, " %02X", bytes[i]);
  }
  if (shown < length) {
    append(line, " ...");
  }
}

// Quoted, with everything but printable ASCII escaped, so the line stays one
// line whatever the bytes are.
void append_text(Line* line, const unsigned char* bytes, std::size_t length) {
  const std::size_t shown = std::min(length, SHOWN_BYTES);
  append(line, "\"");
  for (std::size_t i = 0; i < shown; ++i) {
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      append(line, "\\%c", c);
    } else if (c >= 0x20 && c < 0x7F) {
      append(line, "%c", c);
    } else {
      append(line, "\\x%02X", c);
    }
  }
  append(line, shown < length ? "\"..." : "\"");
}

void append_address(Line* line, NetAddress address) {
  append(line, "%u.%u.%u.%u:%u", static_cast<unsigned>(address.ip >> 24),
         static_cast<unsigned>(address.ip >> 16 & 0xFFU),
         static_cast<unsigned>(address.ip >> 8 & 0xFFU), static_cast<unsigned>(address.ip & 0xFFU),
         static_cast<unsigned>(address.port));
}

void print(const Line& line) {
  std::printf("%.*s\n", static_cast<int>(line.length), line.text);
  std::fflush(stdout);
}

void print_text(const char* text) {
  Line line = {};
  append(&line, "%s", text);
  print(line);
}

// Builds the reply to a frame that awaits one; gives its length.
std::size_t compose_reply(const DeviceOptions& options, const FrameCheck& check,
                          unsigned char* reply) {
  if (options.reply_mode == ReplyMode::STAGED) {
    std::memcpy(reply, options.reply, options.reply_length);
    return options.reply_length;
  }
  std::size_t length = sizeof ACKNOWLEDGEMENT;
  std::memcpy(reply, ACKNOWLEDGEMENT, length);
  const std::size_t room = REPLY_CAPACITY - length;
  const std::size_t taken = std::min(check.message_length, room);
  std::memcpy(reply + length, check.message, taken);
  return length + taken;
}

void answer(const DeviceOptions& options, const FrameCheck& check, net_socket replier,
            std::uint16_t replier_port, NetAddress sender, Line* line) {
  if (options.reply_mode == ReplyMode::NONE) {
    append(line, " | reply withheld (--no-reply)");
    return;
  }
  unsigned char reply[STAGED_REPLY_CAPACITY];
  const std::size_t length = compose_reply(options, check, reply);
  if (!net_send(replier, reply, static_cast<int>(length), sender)) {
    append(line, " | reply failed: sendto error %d", net_last_error());
    return;
  }
  append(line, " | replied from port %u with %u bytes:", static_cast<unsigned>(replier_port),
         static_cast<unsigned>(length));
  append_hex(line, reply, length);
  append(line, " ");
  append_text(line, reply, length);
}

void report(const DeviceOptions& options, long number, const unsigned char* bytes,
            std::size_t length, NetAddress sender, net_socket replier, std::uint16_t replier_port) {
  Line line = {};
  append(&line, "#%ld from ", number);
  append_address(&line, sender);
  append(&line, ", %u bytes:", static_cast<unsigned>(length));
  append_hex(&line, bytes, length);
  FrameCheck check;
  if (!check_frame(bytes, length, &check)) {
    append(&line, " | text ");
    append_text(&line, bytes, length);
    append(&line, " | malformed: %s | no reply", check.problem);
  } else {
    append(&line, " | message ");
    append_text(&line, check.message, check.message_length);
    if (check.expects_reply) {
      append(&line, " | well formed, awaits a reply");
      answer(options, check, replier, replier_port, sender, &line);
    } else {
      append(&line, " | well formed, no reply awaited");
    }
  }
  print(line);
}

int fail(const char* what) {
  Line line = {};
  append(&line, "udpcmd-device: %s: error %d", what, net_last_error());
  print(line);
  return 1;
}

int serve(const DeviceOptions& options) {
  if (!net_start()) {
    print_text("udpcmd-device: the socket library did not start");
    return 1;
  }
  NetAddress bound = {};
  const net_socket listener = net_open(NetAddress{options.address, options.port}, &bound);
  if (listener == NET_INVALID_SOCKET) {
    return fail("cannot bind the listening socket");
  }
  if (options.idle_seconds > 0 && !net_set_idle(listener, options.idle_seconds)) {
    return fail("cannot set the idle time");
  }
  net_socket replier = listener;
  NetAddress reply_from = bound;
  if (options.reply_from_other_port) {
    replier = net_open(NetAddress{options.address, options.reply_port}, &reply_from);
    if (replier == NET_INVALID_SOCKET) {
      return fail("cannot bind the reply socket");
    }
  }
  Line line = {};
  append(&line, "udpcmd-device listening on ");
  append_address(&line, bound);
  if (replier != listener) {
    append(&line, ", replying from port %u", static_cast<unsigned>(reply_from.port));
  }
  print(line);

  static unsigned char received[RECEIVE_CAPACITY];
  long datagrams = 0;
  int failures = 0;
  while (options.count == 0 || datagrams < options.count) {
    NetAddress sender = {};
    const int length = net_receive(listener, received, RECEIVE_CAPACITY, &sender);
    if (length == NET_TIMED_OUT) {
      print_text("udpcmd-device: idle time over, exiting");
      break;
    }
    if (length < 0) {
      fail("receive failed");
      if (++failures == FAILURES_IN_A_ROW) {
        return 1;
      }
      continue;
    }
    failures = 0;
    report(options, ++datagrams, received, static_cast<std::size_t>(length), sender, replier,
           reply_from.port);
  }
  if (replier != listener) {
    net_close(replier);
  }
  net_close(listener);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static DeviceOptions options;
  char error[OPTION_ERROR_CAPACITY];
  if (!parse_options(argc, argv, &options, error)) {
    std::fprintf(stderr, "udpcmd-device: %s (see --help)\n", error);
    return 2;
  }
  if (options.help) {
    print_help();
    return 0;
  }
  return serve(options);
}
