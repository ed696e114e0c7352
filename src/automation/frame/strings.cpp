#include "automation/frame/strings.h"

#include <algorithm>
#include <limits>

#include "engine/mime/encoded_words.h"

namespace vesk::com {

namespace {

// Whether the code page writes every UTF-16 unit as one byte (the ANSI code
// page of Western systems): then the text's length is the converted length
// and one pass of the converter does.
bool OneBytePerUnit(UINT code_page) {
  CPINFO info;
  return code_page != CP_UTF8 && GetCPInfo(code_page, &info) && info.MaxCharSize == 1;
}

}  // namespace

std::string ToNarrow(BSTR text, UINT code_page) {
  const UINT length = SysStringLen(text);
  if (length == 0) return {};
  const int wide_length = static_cast<int>(length);
  if (OneBytePerUnit(code_page)) {
    std::string result(length, '\0');
    const int written =
        WideCharToMultiByte(code_page, 0, text, wide_length, result.data(), wide_length, nullptr, nullptr);
    if (written > 0) {
      result.resize(static_cast<size_t>(written));
      return result;
    }
  }
  const int needed = WideCharToMultiByte(code_page, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(code_page, 0, text, wide_length, result.data(), needed, nullptr, nullptr);
  }
  return result;
}

namespace {

struct Known {
  const char* name;
  UINT code_page;
};
constexpr Known kCharsets[] = {
    {"utf-8", CP_UTF8},         {"us-ascii", 20127},        {"iso-8859-1", 28591},   {"iso-8859-2", 28592},
    {"iso-8859-3", 28593},      {"iso-8859-4", 28594},      {"iso-8859-5", 28595},   {"iso-8859-6", 28596},
    {"iso-8859-7", 28597},      {"iso-8859-8", 28598},      {"iso-8859-9", 28599},   {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},     {"windows-1250", 1250},     {"windows-1251", 1251},  {"windows-1252", 1252},
    {"windows-1253", 1253},     {"windows-1254", 1254},     {"windows-1255", 1255},  {"windows-1256", 1256},
    {"windows-1257", 1257},     {"windows-1258", 1258},     {"windows-874", 874},    {"koi8-r", 20866},
    {"koi8-u", 21866},          {"shift_jis", 932},         {"euc-jp", 20932},       {"iso-2022-jp", 50220},
    {"gb2312", 936},            {"gbk", 936},               {"gb18030", 54936},      {"big5", 950},
    {"euc-kr", 949},            {"ks_c_5601-1987", 949},    {"utf-7", CP_UTF7},
};

// The Windows code page of a MIME charset name (lower case), or 0.
UINT CodePageOfCharset(std::string_view charset) {
  for (const Known& known : kCharsets) {
    if (charset == known.name) return known.code_page;
  }
  return 0;
}

// Appends `bytes` in `code_page` to `out`; false when they do not convert.
bool AppendWide(std::wstring& out, std::string_view bytes, UINT code_page) {
  if (bytes.empty()) return true;
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  MultiByteToWideChar(code_page, 0, bytes.data(), length, out.data() + start, needed);
  return true;
}

}  // namespace

HRESULT HeaderTextToBstr(std::string_view text, BSTR* result, UINT plain_code_page) {
  if (!result) return E_POINTER;
  std::wstring wide;
  for (const HeaderTextRun& run : DecodeEncodedWords(text)) {
    if (run.charset.empty()) {
      AppendWide(wide, run.bytes, plain_code_page);
      continue;
    }
    const UINT code_page = CodePageOfCharset(run.charset);
    if (code_page == 0 || !AppendWide(wide, run.bytes, code_page)) AppendWide(wide, run.original, plain_code_page);
  }
  *result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *result ? S_OK : E_OUTOFMEMORY;
}

HRESULT CharsetTextToBstr(std::string_view bytes, std::string_view charset, BSTR* result, UINT plain_code_page) {
  if (!result) return E_POINTER;
  std::wstring wide;
  const UINT code_page = charset.empty() ? 0 : CodePageOfCharset(charset);
  if (code_page == 0 || !AppendWide(wide, bytes, code_page)) return HeaderTextToBstr(bytes, result, plain_code_page);
  *result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *result ? S_OK : E_OUTOFMEMORY;
}

std::string CharsetOfCodePage(UINT code_page) {
  for (const Known& known : kCharsets) {
    if (known.code_page == code_page) return known.name;
  }
  return "windows-" + std::to_string(code_page);
}

std::string AnsiToUtf8(std::string_view text) {
  Bstr wide;
  if (FAILED(ToBstr(text, wide.put()))) return std::string(text);
  return ToNarrow(wide.get(), CP_UTF8);
}

// No code page gives more UTF-16 units than the text has bytes, so the text
// is converted in one pass straight into a string of that many units; only
// when it came out shorter (bytes that formed one character together) does it
// move to a string of its exact length.
UINT ServerTextCodePage(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return CP_ACP;
  const bool utf8 =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) > 0;
  return utf8 ? CP_UTF8 : CP_ACP;
}

HRESULT ToBstr(std::string_view text, BSTR* result, UINT code_page) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return E_OUTOFMEMORY;
  const int length = static_cast<int>(text.size());
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (!s) return E_OUTOFMEMORY;
  int converted = length ? MultiByteToWideChar(code_page, 0, text.data(), length, s, length) : 0;
  if (length && converted <= 0) {
    // Not converted in that room after all: ask for the length it needs.
    const int needed = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
    if (needed > length) {
      SysFreeString(s);
      s = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
      if (!s) return E_OUTOFMEMORY;
      *result = s;
      MultiByteToWideChar(code_page, 0, text.data(), length, s, needed);
      return S_OK;
    }
  }
  if (converted < length) {
    BSTR exact = SysAllocStringLen(s, static_cast<UINT>(converted > 0 ? converted : 0));
    SysFreeString(s);
    if (!exact) return E_OUTOFMEMORY;
    s = exact;
  }
  *result = s;
  return S_OK;
}

}  // namespace vesk::com
