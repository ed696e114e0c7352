#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "automation/frame/win.h"

namespace vesk::com {

// List results: a VARIANT of type VT_ARRAY | VT_VARIANT holding a
// one-dimensional array with lower bound 0. On failure (E_OUTOFMEMORY when
// the array cannot be made) the result is left empty.
HRESULT MakeTextArray(const std::vector<std::string>& items, VARIANT* result, UINT code_page = CP_ACP);
HRESULT MakeIntegerArray(const std::vector<int32_t>& items, VARIANT* result);
HRESULT MakeUnsignedArray(const std::vector<uint32_t>& items, VARIANT* result);

}  // namespace vesk::com
