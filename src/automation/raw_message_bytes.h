#pragma once

#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// A message object's rendered text as bytes for the wire: RawMessage taken
// back through the code page it was made in (UTF-8 for a message in the
// Unicode mode, else the ANSI code page). Empty when RawMessage fails (a
// rendering is never empty: it ends its header block at least). This is the
// road for a message object of another implementation; our own hands over
// its bytes directly.
std::string RawMessageBytes(IMIMEMessage* message);

}  // namespace vesk::com
