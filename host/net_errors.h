// host/net_errors.h — the errors of the network layer (TCP client and server,
// UDP client and server). Public API.
//
// Each derives directly from Exception and carries only its message, which
// names the operation, the address where one is known and the system's reason.
#pragma once

#include "host/exceptions.h"

namespace KivTrans2 {

// Connect on a TCP client that is already connected.
class KIV_API ETcpAlreadyConnected : public Exception {
  using Exception::Exception;
};

// A socket operation failed: no connection could be made (refused, unreachable,
// a name that does not resolve), a send or receive failed.
class KIV_API ESocketError : public Exception {
  using Exception::Exception;
};

// A server could not bind its port (taken by another socket, or not allowed).
class KIV_API ECouldNotBind : public Exception {
  using Exception::Exception;
};

// A read or write on a TCP connection that the peer has closed, or that was shut
// down locally (Disconnect, server shutdown) while it was in use.
class KIV_API EConnectionClosed : public Exception {
  using Exception::Exception;
};

// A received line grew past MaxLineLength() without its LF. The connection has
// been closed when this is raised.
class KIV_API ELineTooLong : public Exception {
  using Exception::Exception;
};

// An operation that needs a connection found none (the connection check, a write
// or read on a client that is not connected).
class KIV_API ENotConnected : public Exception {
  using Exception::Exception;
};

}  // namespace KivTrans2
