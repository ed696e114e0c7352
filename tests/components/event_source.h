#pragma once

#include "automation/frame/win.h"

namespace vesk::testing_components {

// Makes a VeskTest.Pinger (event_source.cpp); CLSID_Pinger names its class.
HRESULT CreatePinger(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace vesk::testing_components
