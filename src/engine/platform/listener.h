#pragma once

// Listening on the loopback address, for the redirect that ends a browser
// sign-in (RFC 8252 section 7.3). The Berkeley calls it makes are the same
// on both systems; accepted sockets are served with the calls of the sockets
// seam.

#include <cstdint>

#include "engine/platform/sockets.h"

namespace vesk::sockets {

// A socket listening on 127.0.0.1 at a free port the system chose, which
// goes to `port`; kInvalidHandle on failure (LastError set).
Handle ListenOnLoopback(std::uint16_t* port);

// The next connection within timeout_ms, or kInvalidHandle (LastError
// kErrTimedOut when none came).
Handle AcceptWithin(Handle listener, int timeout_ms);

}  // namespace vesk::sockets
