// Whom the simulated device may answer, and how often. A reply that could
// come back to one of its own sockets, or to another device like it, would
// be taken for a new datagram and answered again, without end; a reply to
// port 0, a broadcast or a multicast source would go to no one, or to
// everyone. Pure: no I/O, the time is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_net.h"

// To one source address and port: at most REPLIES_PER_SECOND replies within
// any one second. A reply that is itself a command frame awaiting a reply is
// the only kind another device answers, so only such replies can keep two
// devices answering each other: of those, at most REPLIES_IN_A_ROW in a row
// to one source, each within PAUSE_MS of the one before. That stops every
// loop whatever its delays (at most 60 s each, so a round trip is less than
// PAUSE_MS), while a client sending many commands from one port gets its 20
// replies a second for as long as it sends. One udpcmd run is one source.
constexpr int REPLIES_PER_SECOND = 20;
constexpr int REPLIES_IN_A_ROW = 30;
constexpr std::uint32_t PAUSE_MS = 180000;  // 3 minutes
// Sources remembered; when all are taken, the one sent fewest answerable
// replies in a row (then the one answered longest ago) is forgotten, so
// that no source is ever refused because others were answered.
constexpr std::size_t LEDGER_SOURCES = 64;

constexpr const char* SOURCE_PORT_ZERO = "the source port is 0";
constexpr const char* SOURCE_ANY = "the source address is 0.0.0.0";
constexpr const char* SOURCE_BROADCAST = "the source is the broadcast address 255.255.255.255";
constexpr const char* SOURCE_MULTICAST = "the source is a multicast address";
constexpr const char* SOURCE_OWN_PORT = "the source port is one of this device's own ports";
constexpr const char* TOO_OFTEN = "20 replies went to this source within the last second";
constexpr const char* TOO_MANY_IN_A_ROW =
    "30 replies awaiting a reply went to this source without a pause of 3 minutes";

// Why no reply may go to `source`, or nullptr when one may. `listening_port`
// is the listening socket's port, `reply_port` the port replies are sent
// from (the listening port unless --reply-port gave a second socket).
const char* reply_refusal(NetAddress source, std::uint16_t listening_port,
                          std::uint16_t reply_port);

// The replies sent to one source, as milliseconds of a clock that may wrap
// around (net_milliseconds).
struct LedgerEntry {
  NetAddress source;
  int replies;         // replies counted, up to REPLIES_PER_SECOND; 0: the entry is free
  int in_a_row;        // answerable replies, each within PAUSE_MS of the one before
  std::uint32_t last;  // when the last reply went
  int next;            // where the next time goes in `sent`
  std::uint32_t sent[REPLIES_PER_SECOND];  // the last replies' times
};

struct ReplyLedger {
  LedgerEntry entries[LEDGER_SOURCES];
};

// Why a reply to `source` may not be sent at `now` (TOO_OFTEN, or for an
// `answerable` reply TOO_MANY_IN_A_ROW), or nullptr when it may.
const char* rate_refusal(const ReplyLedger* ledger, NetAddress source, std::uint32_t now,
                         bool answerable);
// Counts a reply sent to `source` at `now`, which rate_refusal allowed.
void count_reply(ReplyLedger* ledger, NetAddress source, std::uint32_t now, bool answerable);
