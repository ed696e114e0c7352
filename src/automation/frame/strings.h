#pragma once

#include <string>
#include <string_view>

#include "automation/frame/win.h"
#include "engine/common/ref_counted.h"

namespace vesk::com {

// The code page in which the text of one message crosses the automation
// boundary: the ANSI code page, or UTF-8 in the message's Unicode mode. The
// message object shares it with every body and address object it hands out.
struct TextCodePage final : RefCounted {
  UINT value = CP_ACP;
};
inline UINT CodePageOf(const Ref<TextCodePage>& code_page) { return code_page ? code_page->value : CP_ACP; }

// Automation string to narrow text through a code page (the ANSI code page
// unless told; CP_UTF8 where the engine keeps UTF-8). A null BSTR is the
// empty text.
std::string ToNarrow(BSTR text, UINT code_page = CP_ACP);

// Narrow text in a code page to a new BSTR owned by the caller.
HRESULT ToBstr(std::string_view text, BSTR* result, UINT code_page = CP_ACP);

// A header text for a caller: encoded-words decoded from their charset where
// the platform knows it (left as they stand where it does not), the rest read
// in the ANSI code page.
HRESULT HeaderTextToBstr(std::string_view text, BSTR* result, UINT code_page = CP_ACP);

// Bytes in a named MIME charset (RFC 2231 parameters); an empty or unknown
// charset reads as header text (HeaderTextToBstr).
HRESULT CharsetTextToBstr(std::string_view bytes, std::string_view charset, BSTR* result, UINT code_page = CP_ACP);

// The code page of text a server wrote: UTF-8 when the text is valid UTF-8
// with bytes beyond ASCII, the ANSI code page otherwise.
UINT ServerTextCodePage(std::string_view text);

// The MIME name of a Windows code page ("windows-1252" for 1252).
std::string CharsetOfCodePage(UINT code_page);

// Narrow text in the ANSI code page as UTF-8.
std::string AnsiToUtf8(std::string_view text);

// Owning BSTR holder.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : s_(other.detach()) {}
  ~Bstr() { SysFreeString(s_); }

  BSTR get() const { return s_; }
  BSTR* put() {
    SysFreeString(s_);
    s_ = nullptr;
    return &s_;
  }
  BSTR detach() {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }
  UINT length() const { return SysStringLen(s_); }

 private:
  BSTR s_ = nullptr;
};

// Owning VARIANT holder.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  ~Variant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  VARIANT* put() {
    VariantClear(&v_);
    return &v_;
  }
  VARIANT* operator->() { return &v_; }

 private:
  VARIANT v_;
};

}  // namespace vesk::com
