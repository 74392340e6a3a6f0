// What the simulated device does about a frame that awaits a reply: the
// rule or the default that answers it, the loop guard, the replies that
// wait for their time (a rule's delay), and the capture of each reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture.h"
#include "device_net.h"
#include "options.h"
#include "reply_guard.h"
#include "rules.h"
#include "text/line.h"
#include "validate.h"

constexpr std::size_t PENDING_CAPACITY = 64;  // delayed replies waiting at once

struct Sockets {
  net_socket listener;
  NetAddress bound;     // the listener's own address and port
  net_socket replier;   // the listener itself unless --reply-port gave another
  NetAddress replying;  // the replier's own address and port
};

// A delayed reply, waiting for its time. Its rule's step is taken while it
// waits, and given back if the loop guard refuses it when it is due.
struct PendingReply {
  long number;  // the datagram it answers
  NetAddress to;
  std::uint32_t from_ip;  // the local address to send it from; 0: any
  std::uint32_t due;      // net_milliseconds
  int rule;
};

struct Responder {
  const DeviceOptions* options;
  Rules* rules;  // nullptr without --rules
  Sockets sockets;
  Capture capture;  // no file without --pcap
  ReplyLedger ledger;
  std::size_t pending_count;
  PendingReply pending[PENDING_CAPACITY];  // the earliest due first
};

// A datagram as the device received it.
struct Datagram {
  long number;  // #1 for the first
  NetPath path;
  const unsigned char* bytes;
  std::size_t length;
};

// Answers a well-formed frame that awaits a reply, or says why not, at the
// end of the datagram's line.
void answer(Responder* responder, const Datagram& datagram, const FrameCheck& check, Line* line);
// Sends the delayed replies due at `now`, the earliest due first, each with
// a line of its own.
void send_due(Responder* responder, std::uint32_t now);
// Milliseconds until the next delayed reply is due; -1 when none waits.
long next_due_in(const Responder* responder, std::uint32_t now);
