// udpcmd-device: a stand-in for the device at the other end of udpcmd. It
// reports every datagram it receives on one line of standard output and
// answers the command frames that await a reply, as a rules file says or
// with its default reply. Its status lines and errors go to standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "answer.h"
#include "capture.h"
#include "device_net.h"
#include "options.h"
#include "rules.h"
#include "show.h"
#include "validate.h"

#ifndef UDPCMD_VERSION
#error "UDPCMD_VERSION, the project's version as a string, comes from tools/device/CMakeLists.txt"
#endif

namespace {

constexpr int RECEIVE_CAPACITY = 65536;  // more than any UDP payload
constexpr int FAILURES_IN_A_ROW = 16;
constexpr long SECOND_MS = 1000;

// man/udpcmd-device.txt, one string a line (cmake/device-usage.cmake).
const char* const HELP[] = {
#include "usage.inc"
};

void print_text(std::FILE* stream, std::initializer_list<const char*> pieces) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_all(&line, pieces);
  print_line(stream, &line);
}

// "udpcmd-device: WHAT[ ADDRESS:PORT]: REASON (error CODE)" on standard
// error, REASON in the system's words, and what to do about a port in use;
// gives 1, the exit status for it.
int fail(const char* what, const NetAddress* where, int code) {
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_all(&line, {"udpcmd-device: ", what});
  if (where != nullptr) {
    append_text(&line, " ");
    append_address(&line, *where);
  }
  char reason[ERROR_TEXT_CAPACITY];
  net_error_text(code, reason, sizeof reason);
  append_reason(&line, reason, code);
  if (where != nullptr && net_in_use(code)) {
    append_text(&line, PORT_TAKEN);
  }
  print_line(stderr, &line);
  return 1;
}

// A capture file that cannot be used: one that exists is never replaced.
void refuse_capture(const char* path, int code) {
  if (code == EEXIST) {
    print_text(stderr, {"udpcmd-device: ", path, ": ", CAPTURE_EXISTS});
  } else {
    print_file_error(path, code);
  }
}

// The datagram's one line on standard output. It goes into the capture
// first, sent to the listener's own address where the platform does not
// tell the one it was sent to (0.0.0.0 for any).
void report(Responder* responder, const Datagram& datagram) {
  const NetAddress bound = responder->sockets.bound;
  const NetAddress to = {datagram.path.to_ip != 0 ? datagram.path.to_ip : bound.ip, bound.port};
  capture_datagram(&responder->capture, datagram.path.from, to, datagram.bytes, datagram.length);
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_number(&line, "#", static_cast<unsigned long>(datagram.number), " from ");
  append_address(&line, datagram.path.from);
  append_number(&line, ", ", datagram.length, " bytes:");
  append_hex(&line, datagram.bytes, datagram.length);
  FrameCheck check;
  if (!check_frame(datagram.bytes, datagram.length, &check)) {
    append_text(&line, " | text ");
    append_quoted(&line, datagram.bytes, datagram.length);
    append_all(&line, {" | malformed: ", check.problem, " | no reply"});
  } else {
    append_text(&line, " | message ");
    append_quoted(&line, check.message, check.message_length);
    if (check.expects_reply) {
      append_text(&line, " | well formed, awaits a reply");
      answer(responder, datagram, check, &line);
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
    fail(CANNOT_BIND_LISTENING, &listening, net_last_error());
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
  append_text(&line, LISTENING);
  append_address(&line, sockets.bound);
  if (sockets.replier != sockets.listener) {
    append_number(&line, ", replying from port ", sockets.replying.port);
  }
  print_line(stderr, &line);
}

// What is left of the idle time at `now`, the last datagram having come
// at `last`; -1 without --idle.
long idle_left(const DeviceOptions& options, std::uint32_t now, std::uint32_t last) {
  if (options.idle_seconds == 0) {
    return -1;
  }
  const long idle = options.idle_seconds * SECOND_MS;
  const long elapsed = static_cast<long>(now - last);
  return elapsed < idle ? idle - elapsed : 0;
}

// How long to wait for the next datagram: until the next delayed reply is
// due or the idle time is over, whichever comes first; -1 for no end.
long wait_time(const Responder* responder, std::uint32_t now, std::uint32_t last) {
  const long due = next_due_in(responder, now);
  const long idle = idle_left(*responder->options, now, last);
  return due < 0 || (idle >= 0 && idle < due) ? idle : due;
}

// Receives one datagram and reports it; false when receiving failed.
bool take_datagram(Responder* responder, long number) {
  static unsigned char received[RECEIVE_CAPACITY];
  Datagram datagram{};
  datagram.number = number;
  datagram.bytes = received;
  const int length =
      net_receive(responder->sockets.listener, received, RECEIVE_CAPACITY, &datagram.path);
  if (length < 0) {
    return false;
  }
  datagram.length = static_cast<std::size_t>(length);
  report(responder, datagram);
  return true;
}

// Sends the delayed replies still waiting, each when it is due (a minute
// from now at most), receiving nothing more.
void finish_pending(Responder* responder) {
  while (responder->pending_count > 0) {
    send_due(responder, net_milliseconds());
    const long wait = next_due_in(responder, net_milliseconds());
    if (wait > 0) {
      net_pause(wait);
    }
  }
}

// Reports datagrams and sends delayed replies until --count or --idle ends
// the run (0), or receiving keeps failing (1).
int receive_all(Responder* responder) {
  const DeviceOptions& options = *responder->options;
  long datagrams = 0;
  int failures = 0;
  std::uint32_t last = net_milliseconds();
  while (options.count == 0 || datagrams < options.count) {
    const std::uint32_t now = net_milliseconds();
    send_due(responder, now);
    if (idle_left(options, now, last) == 0) {
      finish_pending(responder);
      print_text(stderr, {IDLE_OVER});
      return 0;
    }
    const int ready = net_wait(responder->sockets.listener, wait_time(responder, now, last));
    if (ready == 0) {
      continue;
    }
    if (ready > 0 && take_datagram(responder, datagrams + 1)) {
      ++datagrams;
      last = net_milliseconds();
      failures = 0;
      continue;
    }
    fail("receive failed", nullptr, net_last_error());
    if (++failures == FAILURES_IN_A_ROW) {
      return 1;
    }
  }
  finish_pending(responder);
  return 0;
}

int serve(Responder* responder) {
  const int started = net_start();
  if (started != 0) {
    return fail("the socket library did not start", nullptr, started);
  }
  Sockets& sockets = responder->sockets;
  if (!open_sockets(*responder->options, &sockets)) {
    return 1;
  }
  const char* pcap_path = responder->options->pcap_path;
  const int code = pcap_path != nullptr ? capture_open(&responder->capture, pcap_path) : 0;
  int status = 2;
  if (code != 0) {
    refuse_capture(pcap_path, code);
  } else {
    announce(sockets);
    status = receive_all(responder);
  }
  if (sockets.replier != sockets.listener) {
    net_close(sockets.replier);
  }
  net_close(sockets.listener);
  return status;
}

// Reads and checks the rules file whole; on failure prints why and gives
// false.
bool load_rules(const char* path, Rules* rules) {
  static unsigned char text[RULES_FILE_CAPACITY + 1];  // one more: a larger file is refused
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    print_file_error(path, errno);
    return false;
  }
  const std::size_t length = std::fread(text, 1, sizeof text, file);
  const int code = std::ferror(file) != 0 ? errno : 0;
  (void)std::fclose(file);
  if (code != 0) {
    print_file_error(path, code);
    return false;
  }
  RulesError error;
  if (parse_rules(text, length, rules, &error)) {
    return true;
  }
  char area[LINE_CAPACITY];
  Line line = line_in(area, sizeof area);
  append_all(&line, {"udpcmd-device: ", path});
  if (error.line > 0) {
    append_number(&line, ":", error.line);
  }
  append_all(&line, {": ", error.reason});
  print_line(stderr, &line);
  return false;
}

// The files named on the command line, before any socket is opened: the
// rules read, and no capture file there yet (it is made once the sockets
// are bound). Gives false, having said why, when one cannot be used.
bool check_files(const DeviceOptions& options, Responder* responder) {
  static Rules rules;
  if (options.rules_path != nullptr) {
    if (!load_rules(options.rules_path, &rules)) {
      return false;
    }
    responder->rules = &rules;
  }
  std::FILE* existing =
      options.pcap_path != nullptr ? std::fopen(options.pcap_path, "rb") : nullptr;
  if (existing != nullptr) {
    (void)std::fclose(existing);
    refuse_capture(options.pcap_path, EEXIST);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  static DeviceOptions options;
  static Responder responder;
  char error[OPTION_ERROR_CAPACITY];
  if (!parse_options(argc, argv, &options, error)) {
    print_text(stderr, {"udpcmd-device: ", error, " (see --help)"});
    return 2;
  }
  if (options.help) {
    for (const char* text : HELP) {
      print_text(stdout, {text});
    }
    return 0;
  }
  if (options.version) {
    print_text(stdout, {"udpcmd-device ", UDPCMD_VERSION});
    return 0;
  }
  responder.options = &options;
  if (!check_files(options, &responder)) {
    return 2;
  }
  const int status = serve(&responder);
  capture_close(&responder.capture);
  return status;
}
