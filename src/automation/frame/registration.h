#pragma once

#include "automation/frame/win.h"

namespace vesk::com {

HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace vesk::com
