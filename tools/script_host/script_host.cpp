// script_host: runs one VBScript (.vbs) or JScript (.js) file through the
// system's script engines, as cscript does, for the tools and test harnesses.
//
//   script_host.exe [//nologo] FILE [ARGUMENTS...]
//
// Unlike Wine's cscript, an error that stops the script is never silent: it is
// printed on stderr with the file, line, column, error number, source and
// description, and the exit status is 1. Otherwise the exit status is the
// code given to WScript.Quit, or 0 when the script runs to its end.
//
// The WScript object offers what our scripts use: Echo, Quit, Sleep and
// Arguments (Count, Length, Item, and indexing as WScript.Arguments(i)).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <initguid.h>
#include <activscp.h>
#include <ole2.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

constexpr int kScriptFailed = 1;
constexpr int kCannotStart = 2;

std::wstring script_path;
std::vector<std::wstring> script_arguments;
bool script_failed = false;

void Write(DWORD which, const std::wstring& text) {
  HANDLE handle = GetStdHandle(which);
  DWORD written = 0, mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(HRESULT code) {
  wchar_t buffer[16];
  wsprintfW(buffer, L"0x%08lX", static_cast<unsigned long>(code));
  return buffer;
}

// Script engines pass variables by reference, so a value is read through
// the reference before it is converted.
HRESULT Convert(const VARIANT& argument, VARTYPE type, USHORT flags, VARIANT& converted) {
  VARIANT value;
  VariantInit(&value);
  VariantInit(&converted);
  HRESULT hr = VariantCopyInd(&value, const_cast<VARIANT*>(&argument));
  if (SUCCEEDED(hr)) hr = VariantChangeType(&converted, &value, flags, type);
  VariantClear(&value);
  return hr;
}

// The text of an argument as VBScript shows it (True, not -1).
HRESULT ToText(const VARIANT& argument, std::wstring& text) {
  VARIANT converted;
  HRESULT hr = Convert(argument, VT_BSTR, VARIANT_ALPHABOOL, converted);
  if (SUCCEEDED(hr)) text.assign(converted.bstrVal, SysStringLen(converted.bstrVal));
  VariantClear(&converted);
  return hr;
}

HRESULT ToInteger(const VARIANT& argument, LONG& number) {
  VARIANT converted;
  HRESULT hr = Convert(argument, VT_I4, 0, converted);
  if (SUCCEEDED(hr)) number = converted.lVal;
  return hr;
}

// A missing optional argument arrives as VT_ERROR DISP_E_PARAMNOTFOUND.
bool Given(const DISPPARAMS* params, UINT index) {
  if (index >= params->cArgs) return false;
  const VARIANT& v = params->rgvarg[params->cArgs - 1 - index];
  return !(v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}
const VARIANT& Argument(const DISPPARAMS* params, UINT index) { return params->rgvarg[params->cArgs - 1 - index]; }

// An object with a fixed list of members, dispatched by name and number; it
// lives as long as the process, so reference counting is a formality.
class StaticDispatch : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0) {
        hr = DISP_E_UNKNOWNNAME;  // no named arguments
        continue;
      }
      for (const Member& member : Members())
        if (lstrcmpiW(member.name, names[i]) == 0) ids[i] = member.id;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

 protected:
  struct Member {
    const wchar_t* name;
    DISPID id;
  };
  virtual std::vector<Member> Members() const = 0;
};

class ArgumentsObject : public StaticDispatch {
 public:
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    VARIANT ignored;
    if (!result) result = &ignored;
    VariantInit(result);
    if (id == kCount || id == kLength) {
      if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
      result->vt = VT_I4;
      result->lVal = static_cast<LONG>(script_arguments.size());
      return S_OK;
    }
    if (id != DISPID_VALUE && id != kItem) return DISP_E_MEMBERNOTFOUND;
    return Item(params, result);
  }

  HRESULT Item(const DISPPARAMS* params, VARIANT* result) {
    if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    LONG index = 0;
    if (FAILED(ToInteger(Argument(params, 0), index))) return DISP_E_TYPEMISMATCH;
    if (index < 0 || static_cast<size_t>(index) >= script_arguments.size()) return DISP_E_BADINDEX;
    const std::wstring& text = script_arguments[index];
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return S_OK;
  }

 private:
  enum : DISPID { kItem = 1, kCount, kLength };
  std::vector<Member> Members() const override {
    return {{L"Item", kItem}, {L"Count", kCount}, {L"Length", kLength}};
  }
};

ArgumentsObject arguments_object;

class WScriptObject : public StaticDispatch {
 public:
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (result) VariantInit(result);
    switch (id) {
      case kEcho: {
        std::wstring line;
        for (UINT i = 0; i < params->cArgs; ++i) {
          std::wstring text;
          if (FAILED(ToText(Argument(params, i), text))) return DISP_E_TYPEMISMATCH;
          if (i > 0) line += L' ';
          line += text;
        }
        Write(STD_OUTPUT_HANDLE, line + L"\n");
        return S_OK;
      }
      case kQuit: {
        LONG code = 0;
        if (Given(params, 0) && FAILED(ToInteger(Argument(params, 0), code))) return DISP_E_TYPEMISMATCH;
        // Like cscript: the script ends here, whatever it holds.
        ExitProcess(static_cast<UINT>(code));
      }
      case kSleep: {
        LONG milliseconds = 0;
        if (params->cArgs != 1 || FAILED(ToInteger(Argument(params, 0), milliseconds))) return DISP_E_BADPARAMCOUNT;
        Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
        return S_OK;
      }
      case kArguments:
        // WScript.Arguments(i) arrives here with the index as the argument.
        if (params->cArgs > 0) {
          VARIANT ignored;
          return arguments_object.Item(params, result ? result : &ignored);
        }
        if (!result) return S_OK;
        result->vt = VT_DISPATCH;
        result->pdispVal = &arguments_object;
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  enum : DISPID { kEcho = 1, kQuit, kSleep, kArguments };
  std::vector<Member> Members() const override {
    return {{L"Echo", kEcho}, {L"Quit", kQuit}, {L"Sleep", kSleep}, {L"Arguments", kArguments}};
  }
};

WScriptObject wscript_object;

// The system's text for a result code, for errors the engine left without a
// description (Wine's VBScript gives none for division by zero).
std::wstring SystemText(HRESULT code) {
  wchar_t* buffer = nullptr;
  DWORD size = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = size ? std::wstring(buffer, size) : L"(no description)";
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

// Prints an error that stopped the script:
//   FILE(LINE, COLUMN): error NUMBER (0xHRESULT) SOURCE: DESCRIPTION
//       SOURCE LINE
void ReportScriptError(IActiveScriptError* error) {
  EXCEPINFO info{};
  error->GetExceptionInfo(&info);
  if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
  HRESULT code = info.scode ? info.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info.wCode);
  DWORD context = 0;
  ULONG line = 0;
  LONG column = 0;
  bool placed = SUCCEEDED(error->GetSourcePosition(&context, &line, &column));
  BSTR line_text = nullptr;
  error->GetSourceLineText(&line_text);

  std::wstring message = script_path;
  if (placed) message += L"(" + std::to_wstring(line + 1) + L", " + std::to_wstring(column + 1) + L")";
  message += L": error ";
  // Script-level errors are numbered as the script sees them in Err.Number.
  if (HRESULT_FACILITY(code) == FACILITY_CONTROL) message += std::to_wstring(HRESULT_CODE(code)) + L" ";
  message += L"(" + Hex(code) + L") ";
  message += info.bstrSource ? info.bstrSource : L"(no source)";
  message += L": ";
  message += info.bstrDescription && *info.bstrDescription ? info.bstrDescription : SystemText(code);
  message += L"\n";
  if (line_text && *line_text) message += L"    " + std::wstring(line_text) + L"\n";
  Write(STD_ERROR_HANDLE, message);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  SysFreeString(line_text);
}

class Site : public IActiveScriptSite {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IActiveScriptSite)) {
      *ppv = static_cast<IActiveScriptSite*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** type_info) override {
    if (item) *item = nullptr;
    if (type_info) *type_info = nullptr;
    if (lstrcmpiW(name, L"WScript") != 0) return TYPE_E_ELEMENTNOTFOUND;
    if (mask & SCRIPTINFO_ITYPEINFO) return E_NOTIMPL;
    if ((mask & SCRIPTINFO_IUNKNOWN) && item) *item = &wscript_object;
    return S_OK;
  }
  STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
  STDMETHODIMP OnScriptError(IActiveScriptError* error) override {
    script_failed = true;
    ReportScriptError(error);
    return S_OK;
  }
  STDMETHODIMP OnEnterScript() override { return S_OK; }
  STDMETHODIMP OnLeaveScript() override { return S_OK; }
};

Site site;

bool ReadScript(const std::wstring& path, std::wstring& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    return true;
  }
  UINT code_page = CP_ACP;
  size_t skip = 0;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) code_page = CP_UTF8, skip = 3;
  int size = MultiByteToWideChar(code_page, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), nullptr, 0);
  text.assign(size, L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), text.data(), size);
  return true;
}

int Fail(const std::wstring& what, HRESULT hr) {
  Write(STD_ERROR_HANDLE, script_path + L": " + what + L" (" + Hex(hr) + L")\n");
  return kCannotStart;
}

int Run() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  int first = 1;
  while (first < count && argv[first][0] == L'/' && argv[first][1] == L'/') ++first;  // //nologo and the like
  if (first >= count) {
    Write(STD_ERROR_HANDLE, L"usage: script_host [//nologo] FILE.vbs|FILE.js [ARGUMENTS...]\n");
    return kCannotStart;
  }
  script_path = argv[first];
  script_arguments.assign(argv + first + 1, argv + count);
  LocalFree(argv);

  size_t dot = script_path.find_last_of(L'.');
  std::wstring extension = dot == std::wstring::npos ? L"" : script_path.substr(dot);
  const wchar_t* language = lstrcmpiW(extension.c_str(), L".js") == 0    ? L"JScript"
                            : lstrcmpiW(extension.c_str(), L".vbs") == 0 ? L"VBScript"
                                                                          : nullptr;
  if (!language) return Fail(L"not a .vbs or .js file", E_INVALIDARG);
  std::wstring text;
  if (!ReadScript(script_path, text)) return Fail(L"cannot read the file", HRESULT_FROM_WIN32(GetLastError()));

  CLSID engine_id;
  IActiveScript* engine = nullptr;
  IActiveScriptParse* parser = nullptr;
  HRESULT hr = CLSIDFromProgID(language, &engine_id);
  if (FAILED(hr)) return Fail(L"no script engine for this language", hr);
  hr = CoCreateInstance(engine_id, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, reinterpret_cast<void**>(&engine));
  if (FAILED(hr)) return Fail(L"cannot create the script engine", hr);
  hr = engine->QueryInterface(IID_IActiveScriptParse, reinterpret_cast<void**>(&parser));
  if (SUCCEEDED(hr)) hr = engine->SetScriptSite(&site);
  if (SUCCEEDED(hr)) hr = parser->InitNew();
  if (SUCCEEDED(hr)) hr = engine->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
  if (FAILED(hr)) return Fail(L"cannot prepare the script engine", hr);

  // Started first, so that the text runs as it is parsed.
  hr = engine->SetScriptState(SCRIPTSTATE_STARTED);
  EXCEPINFO info{};
  if (SUCCEEDED(hr))
    hr = parser->ParseScriptText(text.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, &info);
  if (FAILED(hr) && !script_failed) {
    // An engine that stopped without telling the site still fails the run.
    script_failed = true;
    std::wstring description = info.bstrDescription ? info.bstrDescription : L"no description";
    Write(STD_ERROR_HANDLE, script_path + L": error (" + Hex(info.scode ? info.scode : hr) + L"): " + description +
                                L" (the engine gave no position)\n");
  }
  engine->Close();
  parser->Release();
  engine->Release();
  return script_failed ? kScriptFailed : 0;
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kCannotStart;
  int status = Run();
  CoUninitialize();
  return status;
}
