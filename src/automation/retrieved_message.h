#pragma once

#include <string>

#include "automation/frame/com_ptr.h"
#include "automation/frame/win.h"

namespace vesk::com {

// Makes the message objects a protocol object's retrievals hand to its
// caller: each a new MIMEMessage of the registered class, given the page
// context the protocol object holds (if any) and filled from the retrieved
// text. The class's factory is asked for through the class registry at the
// first retrieval and then kept while the protocol object lives, so that a
// sweep over a mailbox does not look the class up once per message; a
// factory does not keep the module locked, so releasing the protocol object
// still lets the DLL unload. The results of OnStartPage and of setting
// RawMessage are not examined; a failure to make the object is returned as
// the platform's code (and the next retrieval asks the registry again).
class RetrievedMessageMaker {
 public:
  HRESULT Make(IUnknown* page_context, const std::string& text, IMIMEMessage** message);

 private:
  ComPtr<IClassFactory> factory_;
};

// A message object's rendered text as bytes for the wire: RawMessage taken
// back through the code page it was made in (UTF-8 for a message in the
// Unicode mode, else the ANSI code page). Empty when RawMessage fails (a
// rendering is never empty: it ends its header block at least).
std::string RawMessageBytes(IMIMEMessage* message);

// The common failure of a protocol method: the description goes to the
// thread's error object with the class's ProgID as source; E_FAIL.
HRESULT ProtocolFailure(REFCLSID clsid, const std::string& last_error);

}  // namespace vesk::com
