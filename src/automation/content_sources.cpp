#include "automation/content_sources.h"

#include <cstdio>

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/strings.h"
#include "engine/common/error_texts.h"

namespace vesk::com {

namespace {

// Appends the ANSI code page bytes of the character at `i` (a surrogate pair
// converts as one character) and gives the UTF-16 units it took; 0 when the
// code page has no place for it (nothing is replaced by a look-alike).
UINT AppendAnsiCharacter(BSTR text, UINT i, UINT length, std::string& out) {
  const wchar_t c = text[i];
  const int units = (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) ? 2 : 1;
  char converted[8];
  BOOL lossy = FALSE;
  const int n =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text + i, units, converted, sizeof converted, nullptr, &lossy);
  if (n <= 0 || lossy) return 0;
  out.append(converted, static_cast<size_t>(n));
  return static_cast<UINT>(units);
}

// "U+65E5" for the character at `i`.
std::string CodePointName(BSTR text, UINT i) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(text[i]));
  return code;
}

// The first character of `text` that the ANSI code page has no place for,
// as "U+65E5"; empty when there is none.
std::string FirstUnrepresentable(BSTR text) {
  const UINT length = SysStringLen(text);
  std::string ignored;
  for (UINT i = 0; i < length;) {
    if (text[i] < 0x80) {
      ++i;
      continue;
    }
    const UINT units = AppendAnsiCharacter(text, i, length, ignored);
    if (units == 0) return CodePointName(text, i);
    i += units;
  }
  return {};
}

}  // namespace

HRESULT TextToContent(BSTR text, std::string& bytes, std::string& error, UINT code_page) {
  if (code_page == CP_UTF8) {
    bytes = ToNarrow(text, CP_UTF8);
    return S_OK;
  }
  const UINT length = SysStringLen(text);
  std::string result;
  result.reserve(length);
  for (UINT i = 0; i < length;) {
    if (text[i] <= 0xFF) {
      result.push_back(static_cast<char>(text[i++]));
      continue;
    }
    const UINT units = AppendAnsiCharacter(text, i, length, result);
    if (units == 0) {
      error = FormatMessageText(kMsgCharacterOutsideCodePage, CodePointName(text, i).c_str());
      return E_INVALIDARG;
    }
    i += units;
  }
  bytes = std::move(result);
  return S_OK;
}

bool AnsiHoldsEveryCharacter(BSTR text) { return FirstUnrepresentable(text).empty(); }

HRESULT HeaderTextFromCaller(BSTR text, UINT code_page, std::string& narrow) {
  if (code_page != CP_UTF8) {
    const std::string character = FirstUnrepresentable(text);
    if (!character.empty()) {
      return ReportError(CLSID_MIMEMessage, FormatMessageText(kMsgCharacterOutsideCodePage, character.c_str()),
                         GUID_NULL, E_INVALIDARG);
    }
  }
  narrow = ToNarrow(text, code_page == CP_UTF8 ? CP_UTF8 : CP_ACP);
  return S_OK;
}

namespace {

// Bytes in a code page as a new string; false when they do not convert.
bool DecodeInCodePage(std::string_view bytes, UINT code_page, BSTR* text) {
  if (bytes.empty()) return SUCCEEDED(ToBstr({}, text));
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (!result) return false;
  MultiByteToWideChar(code_page, 0, bytes.data(), length, result, needed);
  *text = result;
  return true;
}

}  // namespace

HRESULT ContentToText(std::string_view bytes, BSTR* text, UINT code_page, std::string_view charset) {
  if (!text) return E_POINTER;
  *text = nullptr;
  const UINT named = charset.empty() ? 0 : CodePageOfCharset(charset);
  if (named != 0 && DecodeInCodePage(bytes, named, text)) return S_OK;
  // In the Unicode mode, bytes that are not UTF-8 (a binary part's) cross
  // byte for byte as the ANSI code page makes them, not as replacement
  // characters.
  return ToBstr(bytes, text, code_page == CP_UTF8 ? ServerTextCodePage(bytes) : CP_ACP);
}

HRESULT TextToPartContent(BSTR text, std::string_view charset, std::string& bytes, bool& in_charset,
                          std::string& error, UINT code_page) {
  in_charset = false;
  const UINT named = charset.empty() ? 0 : CodePageOfCharset(charset);
  const int length = static_cast<int>(SysStringLen(text));
  if (named != 0 && length == 0) {
    bytes.clear();
    in_charset = true;
    return S_OK;
  }
  if (named != 0) {
    // UTF-8 and UTF-7 take every character and refuse the loss flag.
    const bool unicode = named == CP_UTF8 || named == CP_UTF7;
    BOOL lossy = FALSE;
    const DWORD flags = unicode ? 0 : WC_NO_BEST_FIT_CHARS;
    const int needed = WideCharToMultiByte(named, flags, text, length, nullptr, 0, nullptr, unicode ? nullptr : &lossy);
    if (needed > 0 && !lossy) {
      std::string result(static_cast<size_t>(needed), '\0');
      WideCharToMultiByte(named, flags, text, length, result.data(), needed, nullptr, nullptr);
      bytes = std::move(result);
      in_charset = true;
      return S_OK;
    }
  }
  return TextToContent(text, bytes, error, code_page);
}

namespace {

HRESULT BytesFromBinarySource(IBinarySource* source, std::string& bytes) {
  Variant value;
  HRESULT hr = source->GetBytes(value.get());
  if (FAILED(hr)) return hr;
  VARIANT* v = value.get();
  if (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  SAFEARRAY* array = nullptr;
  if (V_VT(v) == (VT_ARRAY | VT_UI1)) {
    array = V_ARRAY(v);
  } else if (V_VT(v) == (VT_BYREF | VT_ARRAY | VT_UI1) && V_ARRAYREF(v)) {
    array = *V_ARRAYREF(v);
  }
  if (!array || SafeArrayGetDim(array) != 1) return E_INVALIDARG;
  LONG lower = 0, upper = -1;
  hr = SafeArrayGetLBound(array, 1, &lower);
  if (FAILED(hr)) return hr;
  hr = SafeArrayGetUBound(array, 1, &upper);
  if (FAILED(hr)) return hr;
  const LONG count = upper - lower + 1;
  if (count <= 0) {
    bytes.clear();
    return S_OK;
  }
  void* data = nullptr;
  hr = SafeArrayAccessData(array, &data);
  if (FAILED(hr)) return hr;
  bytes.assign(static_cast<const char*>(data), static_cast<size_t>(count));
  SafeArrayUnaccessData(array);
  return S_OK;
}

}  // namespace

HRESULT ContentFromObject(IUnknown* source, std::string& bytes, std::string& error) {
  if (!source) return E_INVALIDARG;
  ComPtr<IBinarySource> binary;
  if (SUCCEEDED(source->QueryInterface(kIidBinarySource, binary.put_void())) && binary) {
    std::string result;
    const HRESULT hr = BytesFromBinarySource(binary.get(), result);
    if (SUCCEEDED(hr)) bytes = std::move(result);
    return hr;
  }
  ComPtr<ITextStreamPrefix> stream;
  if (SUCCEEDED(source->QueryInterface(kIidTextStream, stream.put_void())) && stream) {
    Bstr text;
    const HRESULT hr = stream->ReadAll(text.put());
    if (FAILED(hr)) return hr;
    return TextToContent(text.get(), bytes, error);
  }
  return E_INVALIDARG;
}

}  // namespace vesk::com
