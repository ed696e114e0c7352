#include "automation/frame/strings.h"

#include <limits>

namespace vesk::com {

std::string ToNarrow(BSTR text, UINT code_page) {
  const UINT length = SysStringLen(text);
  if (length == 0) return {};
  const int wide_length = static_cast<int>(length);
  const int needed = WideCharToMultiByte(code_page, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(code_page, 0, text, wide_length, result.data(), needed, nullptr, nullptr);
  }
  return result;
}

std::string AnsiToUtf8(std::string_view text) {
  Bstr wide;
  if (FAILED(ToBstr(text, wide.put()))) return std::string(text);
  return ToNarrow(wide.get(), CP_UTF8);
}

HRESULT ToBstr(std::string_view text, BSTR* result, UINT code_page) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return E_OUTOFMEMORY;
  const int length = static_cast<int>(text.size());
  const int needed = length ? MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0) : 0;
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (!s) return E_OUTOFMEMORY;
  if (needed) MultiByteToWideChar(code_page, 0, text.data(), length, s, needed);
  *result = s;
  return S_OK;
}

}  // namespace vesk::com
