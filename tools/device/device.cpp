// udpcmd-device: a stand-in for the device at the other end of udpcmd. It
// reports every datagram it receives on one line of standard output and
// answers the command frames that await a reply. Its status lines and
// errors go to standard error.
#include <cstdio>
#include <cstring>

#include "device_net.h"
#include "frame/frame.h"
#include "help.h"
#include "options.h"
#include "reply_guard.h"
#include "show.h"
#include "validate.h"

#ifndef UDPCMD_VERSION
#error "UDPCMD_VERSION, the project's version as a string, comes from tools/device/CMakeLists.txt"
#endif

namespace {

constexpr int RECEIVE_CAPACITY = 65536;      // more than any UDP payload
constexpr std::size_t LINE_CAPACITY = 2048;  // the longest datagram line fits whole
constexpr std::size_t ERROR_TEXT_CAPACITY = 256;
constexpr int FAILURES_IN_A_ROW = 16;
constexpr unsigned char ACKNOWLEDGEMENT[] = {'O', 'K', ' '};

struct Sockets {
  net_socket listener;
  NetAddress bound;     // the listener's own address and port
  net_socket replier;   // the listener itself unless --reply-port gave another
  NetAddress replying;  // the replier's own address and port
};

// ": REASON (error CODE)", REASON in the system's words.
void append_reason(Line* line, int code) {
  char text[ERROR_TEXT_CAPACITY];
  net_error_text(code, text, sizeof text);
  append_text(line, ": ");
  append_text(line, text);
  append_text(line, " (error ");
  append_signed(line, code);
  append_text(line, ")");
}

// "udpcmd-device: WHAT[ ADDRESS:PORT]: REASON (error CODE)" on standard
// error; gives 1, the exit status for it.
int fail(const char* what, const NetAddress* where, int code) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_text(&line, "udpcmd-device: ");
  append_text(&line, what);
  if (where != nullptr) {
    append_text(&line, " ");
    append_address(&line, *where);
  }
  append_reason(&line, code);
  print_line(stderr, &line);
  return 1;
}

void print_text(std::FILE* stream, const char* first, const char* second = "",
                const char* third = "") {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_text(&line, first);
  append_text(&line, second);
  append_text(&line, third);
  print_line(stream, &line);
}

// Builds the reply to a frame that awaits one; gives its length. The
// acknowledgement is cut to the longest reply udpcmd takes.
std::size_t compose_reply(const DeviceOptions& options, const FrameCheck& check,
                          unsigned char* reply) {
  if (options.reply_mode == ReplyMode::STAGED) {
    std::memcpy(reply, options.reply, options.reply_length);
    return options.reply_length;
  }
  std::memcpy(reply, ACKNOWLEDGEMENT, sizeof ACKNOWLEDGEMENT);
  const std::size_t room = REPLY_CAPACITY - sizeof ACKNOWLEDGEMENT;
  const std::size_t taken = check.message_length < room ? check.message_length : room;
  std::memcpy(reply + sizeof ACKNOWLEDGEMENT, check.message, taken);
  return sizeof ACKNOWLEDGEMENT + taken;
}

void answer(const DeviceOptions& options, const FrameCheck& check, const Sockets& sockets,
            NetAddress sender, Line* line) {
  if (options.reply_mode == ReplyMode::NONE) {
    append_text(line, " | reply withheld (--no-reply)");
    return;
  }
  const char* refusal = reply_refusal(sender, sockets.bound, sockets.replying.port);
  if (refusal != nullptr) {
    append_text(line, " | no reply: ");
    append_text(line, refusal);
    return;
  }
  unsigned char reply[STAGED_REPLY_CAPACITY];
  const std::size_t length = compose_reply(options, check, reply);
  if (!net_send(sockets.replier, reply, static_cast<int>(length), sender)) {
    append_text(line, " | reply failed");
    append_reason(line, net_last_error());
    return;
  }
  append_text(line, " | replied from port ");
  append_unsigned(line, sockets.replying.port);
  append_text(line, " with ");
  append_unsigned(line, length);
  append_text(line, " bytes:");
  append_hex(line, reply, length);
  append_text(line, " ");
  append_quoted(line, reply, length);
}

// The datagram's one line on standard output.
void report(const DeviceOptions& options, long number, const unsigned char* bytes,
            std::size_t length, NetAddress sender, const Sockets& sockets) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_text(&line, "#");
  append_signed(&line, number);
  append_text(&line, " from ");
  append_address(&line, sender);
  append_text(&line, ", ");
  append_unsigned(&line, length);
  append_text(&line, " bytes:");
  append_hex(&line, bytes, length);
  FrameCheck check;
  if (!check_frame(bytes, length, &check)) {
    append_text(&line, " | text ");
    append_quoted(&line, bytes, length);
    append_text(&line, " | malformed: ");
    append_text(&line, check.problem);
    append_text(&line, " | no reply");
  } else {
    append_text(&line, " | message ");
    append_quoted(&line, check.message, check.message_length);
    if (check.expects_reply) {
      append_text(&line, " | well formed, awaits a reply");
      answer(options, check, sockets, sender, &line);
    } else {
      append_text(&line, " | well formed, no reply awaited");
    }
  }
  print_line(stdout, &line);
}

// Opens and binds the sockets; on failure prints why and gives false.
bool open_sockets(const DeviceOptions& options, Sockets* sockets) {
  const NetAddress listening = {options.address, options.port};
  sockets->listener = net_open(listening, &sockets->bound);
  if (sockets->listener == NET_INVALID_SOCKET) {
    fail("cannot bind the listening socket", &listening, net_last_error());
    return false;
  }
  if (options.idle_seconds > 0 && !net_set_idle(sockets->listener, options.idle_seconds)) {
    fail("cannot set the idle time", nullptr, net_last_error());
    return false;
  }
  sockets->replier = sockets->listener;
  sockets->replying = sockets->bound;
  if (options.reply_from_other_port) {
    const NetAddress replying = {options.address, options.reply_port};
    sockets->replier = net_open(replying, &sockets->replying);
    if (sockets->replier == NET_INVALID_SOCKET) {
      fail("cannot bind the reply socket", &replying, net_last_error());
      return false;
    }
  }
  return true;
}

// "udpcmd-device listening on ADDRESS:PORT[, replying from port N]", the
// sign for scripts that the device is ready.
void announce(const Sockets& sockets) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_text(&line, "udpcmd-device listening on ");
  append_address(&line, sockets.bound);
  if (sockets.replier != sockets.listener) {
    append_text(&line, ", replying from port ");
    append_unsigned(&line, sockets.replying.port);
  }
  print_line(stderr, &line);
}

// Reports datagrams until --count or --idle ends the run (0), or receiving
// keeps failing (1).
int receive_all(const DeviceOptions& options, const Sockets& sockets) {
  static unsigned char received[RECEIVE_CAPACITY];
  long datagrams = 0;
  int failures = 0;
  while (options.count == 0 || datagrams < options.count) {
    NetAddress sender = {};
    const int length = net_receive(sockets.listener, received, RECEIVE_CAPACITY, &sender);
    if (length == NET_TIMED_OUT) {
      print_text(stderr, "udpcmd-device: idle time over, exiting");
      return 0;
    }
    if (length < 0) {
      fail("receive failed", nullptr, net_last_error());
      if (++failures == FAILURES_IN_A_ROW) {
        return 1;
      }
      continue;
    }
    failures = 0;
    report(options, ++datagrams, received, static_cast<std::size_t>(length), sender, sockets);
  }
  return 0;
}

int serve(const DeviceOptions& options) {
  const int code = net_start();
  if (code != 0) {
    return fail("the socket library did not start", nullptr, code);
  }
  Sockets sockets = {};
  if (!open_sockets(options, &sockets)) {
    return 1;
  }
  announce(sockets);
  const int status = receive_all(options, sockets);
  if (sockets.replier != sockets.listener) {
    net_close(sockets.replier);
  }
  net_close(sockets.listener);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  static DeviceOptions options;
  char error[OPTION_ERROR_CAPACITY];
  if (!parse_options(argc, argv, &options, error)) {
    print_text(stderr, "udpcmd-device: ", error, " (see --help)");
    return 2;
  }
  if (options.help) {
    print_help();
    return 0;
  }
  if (options.version) {
    print_text(stdout, "udpcmd-device ", UDPCMD_VERSION);
    return 0;
  }
  return serve(options);
}
