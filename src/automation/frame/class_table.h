#pragma once

#include <span>

#include "automation/frame/win.h"

namespace vesk::com {

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// One creatable class: what registration writes and how its factory makes it.
struct ClassEntry {
  const CLSID* clsid;
  const wchar_t* description;
  const wchar_t* prog_id;            // version-independent
  const wchar_t* versioned_prog_id;  // ends in ".1"
  CreateFunction create;
};

// The creatable classes, in registration order.
std::span<const ClassEntry> ClassTable();

}  // namespace vesk::com
