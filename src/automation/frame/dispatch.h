#pragma once

#include <vector>

#include "automation/frame/win.h"

namespace vesk::com {

// The type information of one interface of the library's type library,
// loaded once (on first use, under the module lock) and kept until the
// module unloads. The pointer is borrowed: callers do not release it.
HRESULT TypeInfoFor(REFIID iid, ITypeInfo** info);

// Loads the library's type library: the registered one first, else the copy
// embedded in the DLL.
HRESULT LoadLibraryTypeLib(ITypeLib** lib);

// A member that reads a text property: [propget] with nothing but a BSTR*
// [out, retval], by dispatch id, with its vtable slot.
struct TextGetter {
  DISPID id;
  size_t slot;
};

// The text-property readers of the dual interface `info` describes,
// inherited ones included; empty when the information has another shape.
std::vector<TextGetter> FindTextGetters(ITypeInfo* info);

// Releases the cached type information (module unload).
void ReleaseTypeInfoCache();

}  // namespace vesk::com
