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

}  // namespace vesk::com
