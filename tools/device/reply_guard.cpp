#include "reply_guard.h"

namespace {

constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFFU;
constexpr std::uint32_t MULTICAST_MASK = 0xF0000000U;  // 224.0.0.0/4
constexpr std::uint32_t MULTICAST_NET = 0xE0000000U;
constexpr std::uint32_t SECOND_MS = 1000;

bool same(NetAddress a, NetAddress b) { return a.ip == b.ip && a.port == b.port; }

// Whether the entry still counts at `now`: after a pause it starts afresh.
// Unsigned differences stay right when the clock wraps around.
bool current(const LedgerEntry& entry, std::uint32_t now) {
  return entry.replies > 0 && now - entry.last < PAUSE_MS;
}

// Replies counted within the second up to `now`.
int recent(const LedgerEntry& entry, std::uint32_t now) {
  int found = 0;
  for (int at = 0; at < entry.replies; ++at) {
    found += now - entry.sent[at] < SECOND_MS ? 1 : 0;
  }
  return found;
}

// The index of the source's entry, or -1.
int entry_of(const ReplyLedger* ledger, NetAddress source, std::uint32_t now) {
  for (std::size_t at = 0; at < LEDGER_SOURCES; ++at) {
    const LedgerEntry& entry = ledger->entries[at];
    if (current(entry, now) && same(entry.source, source)) {
      return static_cast<int>(at);
    }
  }
  return -1;
}

// An entry for a new source: a free one, else the one sent fewest
// answerable replies in a row, the one answered longest ago among those. A
// loop's source has many in a row, so the udpcmd runs around it never push
// it out.
LedgerEntry* entry_to_reuse(ReplyLedger* ledger, std::uint32_t now) {
  LedgerEntry* chosen = &ledger->entries[0];
  for (LedgerEntry& entry : ledger->entries) {
    if (!current(entry, now)) {
      return &entry;
    }
    if (entry.in_a_row < chosen->in_a_row ||
        (entry.in_a_row == chosen->in_a_row && now - entry.last > now - chosen->last)) {
      chosen = &entry;
    }
  }
  return chosen;
}

}  // namespace

// A source using one of the device's ports is the device itself, or
// another device answering on the same port: either way a reply would be
// answered in turn. A real udpcmd never sends from port 2639, so it is
// never refused for this.
const char* reply_refusal(NetAddress source, std::uint16_t listening_port,
                          std::uint16_t reply_port) {
  if (source.port == 0) {
    return SOURCE_PORT_ZERO;
  }
  if (source.ip == 0) {
    return SOURCE_ANY;
  }
  if (source.ip == LIMITED_BROADCAST) {
    return SOURCE_BROADCAST;
  }
  if ((source.ip & MULTICAST_MASK) == MULTICAST_NET) {
    return SOURCE_MULTICAST;
  }
  if (source.port == listening_port || source.port == reply_port) {
    return SOURCE_OWN_PORT;
  }
  return nullptr;
}

const char* rate_refusal(const ReplyLedger* ledger, NetAddress source, std::uint32_t now,
                         bool answerable) {
  const int at = entry_of(ledger, source, now);
  if (at < 0) {
    return nullptr;
  }
  const LedgerEntry& entry = ledger->entries[at];
  if (recent(entry, now) >= REPLIES_PER_SECOND) {
    return TOO_OFTEN;
  }
  return answerable && entry.in_a_row >= REPLIES_IN_A_ROW ? TOO_MANY_IN_A_ROW : nullptr;
}

void count_reply(ReplyLedger* ledger, NetAddress source, std::uint32_t now, bool answerable) {
  const int at = entry_of(ledger, source, now);
  LedgerEntry* entry = at >= 0 ? &ledger->entries[at] : nullptr;
  if (entry == nullptr) {
    entry = entry_to_reuse(ledger, now);
    *entry = LedgerEntry{};
    entry->source = source;
  }
  entry->replies += entry->replies < REPLIES_PER_SECOND ? 1 : 0;
  entry->in_a_row += answerable ? 1 : 0;
  entry->last = now;
  entry->sent[entry->next] = now;
  entry->next = (entry->next + 1) % REPLIES_PER_SECOND;
}
