// Which senders the simulated device must not answer. A reply that could
// come back to one of its own sockets would be taken for a new datagram and
// answered again, without end; a reply to port 0, a broadcast or a multicast
// source would go to no one, or to everyone.
#pragma once

#include <cstdint>

#include "device_net.h"

// Why no reply may go to `source`, or nullptr when one may. `listener` is
// the address and port the listening socket got (address 0: bound to every
// address), `reply_port` the port replies are sent from (the listener's own
// port unless --reply-port gave a second socket). Pure: no I/O.
const char* reply_refusal(NetAddress source, NetAddress listener, std::uint16_t reply_port);
