#include "reply_guard.h"

namespace {

constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFFU;
constexpr std::uint32_t MULTICAST_MASK = 0xF0000000U;  // 224.0.0.0/4
constexpr std::uint32_t MULTICAST_NET = 0xE0000000U;
constexpr std::uint32_t SECOND_MS = 1000;

bool same(NetAddress a, NetAddress b) { return a.ip == b.ip && a.port == b.port; }

// Replies counted within the second up to `now`. Unsigned differences
// stay right when the clock wraps around.
int recent(const LedgerEntry& entry, std::uint32_t now) {
  int found = 0;
  for (int at = 0; at < entry.count; ++at) {
    found += now - entry.sent[at] < SECOND_MS ? 1 : 0;
  }
  return found;
}

// The index of the source's entry, else of a free one (or one whose
// replies are all older than a second), else -1.
int entry_for(const ReplyLedger* ledger, NetAddress source, std::uint32_t now) {
  int free = -1;
  for (std::size_t at = 0; at < LEDGER_SOURCES; ++at) {
    const LedgerEntry& entry = ledger->entries[at];
    if (entry.count > 0 && same(entry.source, source)) {
      return static_cast<int>(at);
    }
    if (free < 0 && recent(entry, now) == 0) {
      free = static_cast<int>(at);
    }
  }
  return free;
}

}  // namespace

// A source using one of the device's ports is the device itself, or
// another device answering on the same port: either way a reply would be
// answered in turn. A real udpcmd never sends from port 2639, so it is
// never refused for this.
const char* reply_refusal(NetAddress source, std::uint16_t listening_port,
                          std::uint16_t reply_port) {
  if (source.port == 0) {
    return "the source port is 0";
  }
  if (source.ip == 0) {
    return "the source address is 0.0.0.0";
  }
  if (source.ip == LIMITED_BROADCAST) {
    return "the source is the broadcast address 255.255.255.255";
  }
  if ((source.ip & MULTICAST_MASK) == MULTICAST_NET) {
    return "the source is a multicast address";
  }
  if (source.port == listening_port || source.port == reply_port) {
    return "the source port is one of this device's own ports";
  }
  return nullptr;
}

const char* rate_refusal(const ReplyLedger* ledger, NetAddress source, std::uint32_t now) {
  const int at = entry_for(ledger, source, now);
  if (at < 0) {
    return "64 other sources were answered within the last second";
  }
  if (recent(ledger->entries[at], now) >= REPLIES_PER_SECOND) {
    return "20 replies went to this source within the last second";
  }
  return nullptr;
}

void count_reply(ReplyLedger* ledger, NetAddress source, std::uint32_t now) {
  const int at = entry_for(ledger, source, now);
  if (at < 0) {
    return;
  }
  LedgerEntry* entry = &ledger->entries[at];
  if (entry->count == 0 || !same(entry->source, source)) {
    *entry = LedgerEntry{source, 0, 0, {}};
  }
  entry->sent[entry->next] = now;
  entry->next = (entry->next + 1) % REPLIES_PER_SECOND;
  entry->count += entry->count < REPLIES_PER_SECOND ? 1 : 0;
}
