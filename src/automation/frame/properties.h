#pragma once

#include <string>

#include "automation/frame/errors.h"
#include "automation/frame/strings.h"
#include "automation/frame/win.h"

namespace vesk::com {

// Bodies of plain stored properties, whose text the engine keeps in
// `code_page` (the ANSI code page, or UTF-8).
inline HRESULT GetText(const std::string& value, BSTR* result, UINT code_page = CP_ACP) {
  if (!result) return E_POINTER;
  return ToBstr(value, result, code_page);
}

inline HRESULT SetText(std::string& field, BSTR value, UINT code_page = CP_ACP) {
  return Guarded([&] {
    field = ToNarrow(value, code_page);
    return S_OK;
  });
}

template <class T, class U>
HRESULT GetValue(const T& value, U* result) {
  if (!result) return E_POINTER;
  *result = static_cast<U>(value);
  return S_OK;
}

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace vesk::com
