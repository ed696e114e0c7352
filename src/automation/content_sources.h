#pragma once

#include <string>
#include <string_view>

#include "automation/frame/win.h"

namespace vesk::com {

// The binary-source interface of other components: its third own method (the
// tenth slot of its table, after IDispatch's seven and two methods this
// library never calls) fills a variant with a one-dimensional array of bytes.
// Components that want to hand raw bytes to a body's Load implement it with
// this identifier.
//   {41489745-858E-4F8E-9738-9398E465E7A2}
inline constexpr IID kIidBinarySource = {
    0x41489745, 0x858E, 0x4F8E, {0x97, 0x38, 0x93, 0x98, 0xE4, 0x65, 0xE7, 0xA2}};

struct IBinarySource : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBytes(VARIANT* bytes) = 0;
};

// The scripting runtime's TextStream (Scripting.FileSystemObject), up to
// ReadAll, its seventh own method.
//   {53BAD8C1-E718-11CF-893D-00A0C9054228}
inline constexpr IID kIidTextStream = {
    0x53BAD8C1, 0xE718, 0x11CF, {0x89, 0x3D, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x28}};

struct ITextStreamPrefix : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Line(LONG* line) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Column(LONG* column) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AtEndOfStream(VARIANT_BOOL* end) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AtEndOfLine(VARIANT_BOOL* end) = 0;
  virtual HRESULT STDMETHODCALLTYPE Read(LONG characters, BSTR* text) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadLine(BSTR* text) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAll(BSTR* text) = 0;
};

}  // namespace vesk::com

__CRT_UUID_DECL(vesk::com::IBinarySource, 0x41489745, 0x858E, 0x4F8E, 0x97, 0x38, 0x93, 0x98, 0xE4, 0x65, 0xE7, 0xA2)
__CRT_UUID_DECL(vesk::com::ITextStreamPrefix, 0x53BAD8C1, 0xE718, 0x11CF, 0x89, 0x3D, 0x00, 0xA0, 0xC9, 0x05, 0x42,
                0x28)

namespace vesk::com {

// Text given by a caller as content bytes. Characters up to U+00FF become the
// byte of the same value (U+0000 included: nothing after it is lost); a
// character above U+00FF becomes its ANSI code page bytes, so that text made
// from content by ContentToText comes back as the same bytes. A character the
// code page cannot represent fails with E_INVALIDARG and a description in
// `error`, and `bytes` is left unchanged.
// In UTF-8 (the Unicode mode of a message) every character converts.
HRESULT TextToContent(BSTR text, std::string& bytes, std::string& error, UINT code_page = CP_ACP);

// Text a caller sets in a header (a subject, a name, a field's value, a file
// name) as narrow text in the message's code page, keeping every character:
// in the ANSI code page a character that has no place there is not replaced
// by "?" or a look-alike; the call then fails with E_INVALIDARG and the same
// description as TextToContent gives, reported as the message's error, and
// `narrow` is left unchanged. In UTF-8 every character converts.
HRESULT HeaderTextFromCaller(BSTR text, UINT code_page, std::string& narrow);

// Whether the ANSI code page has a place for every character of `text`.
bool AnsiHoldsEveryCharacter(BSTR text);

// Content bytes as text: from the part's charset when it names one the
// system knows (in both modes: a script's string is Unicode), else through
// the mode's code page (the ANSI code page, or UTF-8 in the Unicode mode).
HRESULT ContentToText(std::string_view bytes, BSTR* text, UINT code_page = CP_ACP, std::string_view charset = {});

// Text for the content of a part that names `charset`: in that charset when
// the system knows it and it holds every character of the text
// (`in_charset` true); otherwise as TextToContent makes it (`in_charset`
// false), and the part's label must then follow the bytes.
HRESULT TextToPartContent(BSTR text, std::string_view charset, std::string& bytes, bool& in_charset,
                          std::string& error, UINT code_page = CP_ACP);

// Bytes of an automation object: a binary source first, then a TextStream
// (its remaining text, converted as TextToContent does); neither gives
// E_INVALIDARG. `bytes` is changed only on success.
HRESULT ContentFromObject(IUnknown* source, std::string& bytes, std::string& error);

}  // namespace vesk::com
