// Whom the simulated device may answer, and how often. A reply that could
// come back to one of its own sockets, or to another device like it, would
// be taken for a new datagram and answered again, without end; a reply to
// port 0, a broadcast or a multicast source would go to no one, or to
// everyone. Pure: no I/O, the time is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_net.h"

constexpr int REPLIES_PER_SECOND = 20;      // to one source address and port
constexpr std::size_t LEDGER_SOURCES = 64;  // sources answered within one second

// Why no reply may go to `source`, or nullptr when one may. `listening_port`
// is the listening socket's port, `reply_port` the port replies are sent
// from (the listening port unless --reply-port gave a second socket).
const char* reply_refusal(NetAddress source, std::uint16_t listening_port,
                          std::uint16_t reply_port);

// The last replies sent to each source, as milliseconds of a clock that
// may wrap around (net_milliseconds).
struct LedgerEntry {
  NetAddress source;
  int count;  // of `sent`, up to REPLIES_PER_SECOND; 0: the entry is free
  int next;   // where the next time goes
  std::uint32_t sent[REPLIES_PER_SECOND];
};

struct ReplyLedger {
  LedgerEntry entries[LEDGER_SOURCES];
};

// Why a reply to `source` may not be sent at `now`: it would be more than
// REPLIES_PER_SECOND to it within one second, or no room is left to count
// it. nullptr when it may.
const char* rate_refusal(const ReplyLedger* ledger, NetAddress source, std::uint32_t now);
// Counts a reply sent to `source` at `now`, which rate_refusal allowed.
void count_reply(ReplyLedger* ledger, NetAddress source, std::uint32_t now);
