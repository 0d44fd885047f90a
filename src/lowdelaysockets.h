#pragma once

#include <QtGlobal>

// Qt's HTTP connections keep the system's coalescing of small writes (Nagle's algorithm):
// a request written while an earlier one on the same connection still waits for its
// acknowledgement is held back until that arrives. Over HTTP/2 every download of a host
// shares one connection, so over a link with a round trip each new request could wait up
// to a round trip of its own. Qt offers no way to ask for its sockets to send at once;
// this finds them among the process's own descriptors.
namespace LowDelaySockets {

// Makes every TCP connection of this process to `port` send small writes at once; the
// connections that already did are left alone. Returns how many were changed. Any other
// connection of the launcher to that port only gains by it.
int applyToConnectionsTo(quint16 port);

// Whether the TCP connection on `descriptor` sends small writes at once.
bool isLowDelay(int descriptor);

} // namespace LowDelaySockets
