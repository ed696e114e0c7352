#pragma once

#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// Makes the message object a retrieval hands to its caller: a new
// MIMEMessage from the class registry, given the page context the protocol
// object holds (if any) and filled from the retrieved text. The results of
// OnStartPage and of setting RawMessage are not examined; a failure to make
// the object is returned as the platform's code.
HRESULT MakeRetrievedMessage(IUnknown* page_context, const std::string& text, IMIMEMessage** message);

// A message object's rendered text as bytes for the wire: RawMessage taken
// back through the code page it was made in (UTF-8 for a message in the
// Unicode mode, else the ANSI code page). Empty when RawMessage fails (a
// rendering is never empty: it ends its header block at least).
std::string RawMessageBytes(IMIMEMessage* message);

// The common failure of a protocol method: the description goes to the
// thread's error object with the class's ProgID as source; E_FAIL.
HRESULT ProtocolFailure(REFCLSID clsid, const std::string& last_error);

}  // namespace vesk::com
