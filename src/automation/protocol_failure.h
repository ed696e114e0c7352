#pragma once

#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// The common failure of a protocol method: the description goes to the
// thread's error object with the class's ProgID as source; E_FAIL.
HRESULT ProtocolFailure(REFCLSID clsid, const std::string& last_error);

}  // namespace vesk::com
