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

// The common failure of a protocol method: the description goes to the
// thread's error object with the class's ProgID as source; E_FAIL.
HRESULT ProtocolFailure(REFCLSID clsid, const std::string& last_error);

}  // namespace vesk::com
