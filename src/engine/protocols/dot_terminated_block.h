#pragma once

// The multi-line block of POP3 (RFC 1939 section 3): the lines of a listing
// or a message, ended by a line holding a single period.

#include <string>

#include "engine/net/socket_connection.h"

namespace vesk {

// Reads the lines of a block ended by a line holding a single period: a
// doubled leading period is undone, lines are joined with LF, and the ending
// line is not added. False on a read failure; the text then keeps the lines
// gathered so far.
bool ReadDotTerminated(SocketConnection& connection, std::string& text, int timeout_ms);

}  // namespace vesk
