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
// any one second, and at most REPLIES_IN_A_ROW in a row that each follow
// the one before within PAUSE_MS. Two devices answering each other stop
// there whatever their delays (at most 60 s each, so a round trip is less
// than PAUSE_MS); one udpcmd run is one source, answered once.
constexpr int REPLIES_PER_SECOND = 20;
constexpr int REPLIES_IN_A_ROW = 30;
constexpr std::uint32_t PAUSE_MS = 180000;  // 3 minutes
// Sources remembered; when all are taken, the one answered fewest times in a
// row (then the longest ago) is forgotten, so that no source is ever refused
// because others were answered.
constexpr std::size_t LEDGER_SOURCES = 64;

constexpr const char* SOURCE_PORT_ZERO = "the source port is 0";
constexpr const char* SOURCE_ANY = "the source address is 0.0.0.0";
constexpr const char* SOURCE_BROADCAST = "the source is the broadcast address 255.255.255.255";
constexpr const char* SOURCE_MULTICAST = "the source is a multicast address";
constexpr const char* SOURCE_OWN_PORT = "the source port is one of this device's own ports";
constexpr const char* TOO_OFTEN = "20 replies went to this source within the last second";
constexpr const char* TOO_MANY_IN_A_ROW =
    "30 replies went to this source without a pause of 3 minutes";

// Why no reply may go to `source`, or nullptr when one may. `listening_port`
// is the listening socket's port, `reply_port` the port replies are sent
// from (the listening port unless --reply-port gave a second socket).
const char* reply_refusal(NetAddress source, std::uint16_t listening_port,
                          std::uint16_t reply_port);

// The replies sent to one source, as milliseconds of a clock that may wrap
// around (net_milliseconds).
struct LedgerEntry {
  NetAddress source;
  int in_a_row;        // replies, each within PAUSE_MS of the one before; 0: free
  std::uint32_t last;  // when the last of them went
  int next;            // where the next time goes in `sent`
  std::uint32_t sent[REPLIES_PER_SECOND];  // the last ones' times (in_a_row of them at most)
};

struct ReplyLedger {
  LedgerEntry entries[LEDGER_SOURCES];
};

// Why a reply to `source` may not be sent at `now` (TOO_OFTEN or
// TOO_MANY_IN_A_ROW), or nullptr when it may.
const char* rate_refusal(const ReplyLedger* ledger, NetAddress source, std::uint32_t now);
// Counts a reply sent to `source` at `now`, which rate_refusal allowed.
void count_reply(ReplyLedger* ledger, NetAddress source, std::uint32_t now);
