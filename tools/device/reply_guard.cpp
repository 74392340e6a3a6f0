#include "reply_guard.h"

namespace {

constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFFU;
constexpr std::uint32_t MULTICAST_MASK = 0xF0000000U;  // 224.0.0.0/4
constexpr std::uint32_t MULTICAST_NET = 0xE0000000U;

}  // namespace

// A source using one of the device's ports at the address it is bound to is
// the device itself. Bound to every address (0.0.0.0), it hears on each
// address of the machine, loopback and others alike, and has no way to tell
// them from a remote host's: there one of its own ports alone is enough. A
// real udpcmd never sends from port 2639, so it is never refused for this.
const char* reply_refusal(NetAddress source, NetAddress listener, std::uint16_t reply_port) {
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
  if (source.port != listener.port && source.port != reply_port) {
    return nullptr;
  }
  if (listener.ip == 0) {
    return "the source may be this device itself (one of its ports, and it is bound to every "
           "address)";
  }
  return source.ip == listener.ip ? "the source is this device's own address and port" : nullptr;
}
