#pragma once

#include "automation/frame/win.h"

namespace vesk::com {

// The type information of one interface of the library's type library,
// loaded once (on first use, under the module lock) and kept until the
// module unloads. The pointer is borrowed: callers do not release it.
HRESULT TypeInfoFor(REFIID iid, ITypeInfo** info);

// Loads the library's type library: the registered one first, else the copy
// embedded in the DLL.
HRESULT LoadLibraryTypeLib(ITypeLib** lib);

// Releases the cached type information (module unload).
void ReleaseTypeInfoCache();

}  // namespace vesk::com
