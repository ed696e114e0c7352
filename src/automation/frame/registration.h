#pragma once

#include "automation/frame/win.h"

namespace vesk::com {

HRESULT RegisterServer();
HRESULT UnregisterServer();

// The same classes and type library for the current user only, under
// HKCU\Software\Classes (no administrator rights needed); unregistration
// removes exactly what registration wrote there.
HRESULT RegisterServerForUser();
HRESULT UnregisterServerForUser();

}  // namespace vesk::com
