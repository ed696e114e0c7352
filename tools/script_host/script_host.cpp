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
// The WScript object offers what our scripts use:
//   Echo, Quit, Sleep
//   Arguments                  Count, Length, Item, and WScript.Arguments(i)
//   CreateObject(ProgID[, Prefix])
//                              the object; with a prefix, connected to the
//                              script as ConnectObject does
//   ConnectObject Object, Prefix
//                              each event Name of the object's default
//                              source interface calls the script's global
//                              procedure Prefix & Name when there is one
//                              (events without one are ignored), with the
//                              event's arguments in order; an argument the
//                              object passes by reference (a Cancel) takes
//                              back what the procedure assigned to it
//   DisconnectObject Object    the object's events no longer reach the script
// Wine's cscript connects no events. Here an object's events arrive on the
// script's thread while the script is inside one of the object's methods,
// so the engine runs the handler nested in that call. Connections end when
// the script ends. An error in a handler is reported as any other and ends
// the script, with the exit status 1.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <initguid.h>
#include <activscp.h>
#include <cguid.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>
#include <shellapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kScriptFailed = 1;
constexpr int kCannotStart = 2;

std::wstring script_path;
std::vector<std::wstring> script_arguments;
bool script_failed = false;
// The engine while the script runs (the event sinks find the handlers through
// it), and how many errors it has reported to the site so far.
IActiveScript* script_engine = nullptr;
int errors_reported = 0;

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

// "error NUMBER (0xHRESULT) SOURCE: DESCRIPTION" for an error the engine
// or an object described; frees the strings of `info`.
std::wstring DescribeError(EXCEPINFO& info, HRESULT fallback) {
  if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
  HRESULT code = info.scode   ? info.scode
                 : info.wCode ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info.wCode)
                              : fallback;
  std::wstring message = L"error ";
  // Script-level errors are numbered as the script sees them in Err.Number.
  if (HRESULT_FACILITY(code) == FACILITY_CONTROL) message += std::to_wstring(HRESULT_CODE(code)) + L" ";
  message += L"(" + Hex(code) + L") ";
  message += info.bstrSource ? info.bstrSource : L"(no source)";
  message += L": ";
  message += info.bstrDescription && *info.bstrDescription ? info.bstrDescription : SystemText(code);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  info = EXCEPINFO{};
  return message;
}

// Prints an error that stopped the script:
//   FILE(LINE, COLUMN): error NUMBER (0xHRESULT) SOURCE: DESCRIPTION
//       SOURCE LINE
void ReportScriptError(IActiveScriptError* error) {
  EXCEPINFO info{};
  error->GetExceptionInfo(&info);
  DWORD context = 0;
  ULONG line = 0;
  LONG column = 0;
  bool placed = SUCCEEDED(error->GetSourcePosition(&context, &line, &column));
  BSTR line_text = nullptr;
  error->GetSourceLineText(&line_text);

  std::wstring message = script_path;
  if (placed) message += L"(" + std::to_wstring(line + 1) + L", " + std::to_wstring(column + 1) + L")";
  message += L": " + DescribeError(info, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 0)) + L"\n";
  if (line_text && *line_text) message += L"    " + std::wstring(line_text) + L"\n";
  Write(STD_ERROR_HANDLE, message);
  SysFreeString(line_text);
}

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

// --- Events ------------------------------------------------------------------

// The arguments of an event as its handler receives them. Script engines
// change in place a variant they are given by reference (VT_BYREF|VT_VARIANT),
// but Wine's VBScript copies an argument given by reference to any other type,
// so a handler's "Cancel = True" for a VT_BYREF|VT_BOOL would be lost. Each
// such argument is therefore handed on as a reference to a variant holding
// its value, and WriteBack stores what the handler left there, converted to
// the original type, where the object's reference points.
class HandlerArguments {
 public:
  explicit HandlerArguments(const DISPPARAMS& event)
      : event_(event), passed_(event.rgvarg, event.rgvarg + event.cArgs), values_(event.cArgs) {
    for (UINT i = 0; i < event.cArgs; ++i) {
      VariantInit(&values_[i]);
      const VARTYPE type = V_VT(&event.rgvarg[i]);
      if (!(type & VT_BYREF) || (type & VT_ARRAY) || (type & VT_TYPEMASK) == VT_VARIANT) continue;
      if (StoredSize(type & VT_TYPEMASK) == 0 || FAILED(VariantCopyInd(&values_[i], &event.rgvarg[i]))) continue;
      V_VT(&passed_[i]) = VT_BYREF | VT_VARIANT;
      V_VARIANTREF(&passed_[i]) = &values_[i];
    }
    params_ = {passed_.data(), event.rgdispidNamedArgs, event.cArgs, event.cNamedArgs};
  }
  ~HandlerArguments() {
    for (VARIANT& value : values_) VariantClear(&value);
  }
  HandlerArguments(const HandlerArguments&) = delete;
  HandlerArguments& operator=(const HandlerArguments&) = delete;

  DISPPARAMS* Params() { return &params_; }

  void WriteBack() {
    for (UINT i = 0; i < event_.cArgs; ++i) {
      if (V_VT(&passed_[i]) == V_VT(&event_.rgvarg[i])) continue;  // passed as it came
      const VARIANT& target = event_.rgvarg[i];
      const VARTYPE type = V_VT(&target) & VT_TYPEMASK;
      VARIANT converted;
      VariantInit(&converted);
      if (FAILED(VariantChangeType(&converted, &values_[i], 0, type))) continue;
      void* where = V_BYREF(&target);
      switch (type) {
        case VT_BSTR:
          SysFreeString(*static_cast<BSTR*>(where));
          *static_cast<BSTR*>(where) = V_BSTR(&converted);
          V_VT(&converted) = VT_EMPTY;
          break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
          if (*static_cast<IUnknown**>(where)) (*static_cast<IUnknown**>(where))->Release();
          *static_cast<IUnknown**>(where) = V_UNKNOWN(&converted);
          V_VT(&converted) = VT_EMPTY;
          break;
        case VT_DECIMAL:
          *static_cast<DECIMAL*>(where) = V_DECIMAL(&converted);
          break;
        default:
          std::memcpy(where, &V_UI1(&converted), StoredSize(type));
      }
      VariantClear(&converted);
    }
  }

 private:
  // Bytes behind a reference to a value of this type; 0 for the types not
  // handed on this way.
  static size_t StoredSize(VARTYPE type) {
    switch (type) {
      case VT_I1:
      case VT_UI1:
        return 1;
      case VT_I2:
      case VT_UI2:
      case VT_BOOL:
        return 2;
      case VT_I4:
      case VT_UI4:
      case VT_INT:
      case VT_UINT:
      case VT_R4:
      case VT_ERROR:
        return 4;
      case VT_I8:
      case VT_UI8:
      case VT_R8:
      case VT_CY:
      case VT_DATE:
        return 8;
      case VT_BSTR:
      case VT_DISPATCH:
      case VT_UNKNOWN:
        return sizeof(void*);
      case VT_DECIMAL:
        return sizeof(DECIMAL);
    }
    return 0;
  }

  const DISPPARAMS& event_;
  std::vector<VARIANT> passed_;
  std::vector<VARIANT> values_;
  DISPPARAMS params_{};
};

// An error in an event handler ends the script. The engine has normally told
// the site already (with the position); when it has not, the error the call
// returned is reported here, naming the handler.
[[noreturn]] void StopAfterHandlerError(const std::wstring& handler, HRESULT hr, EXCEPINFO& info, int reported) {
  if (errors_reported == reported) {
    Write(STD_ERROR_HANDLE, script_path + L": " + DescribeError(info, hr) + L" (in the event handler " + handler +
                                L"; the engine gave no position)\n");
  } else {
    DescribeError(info, hr);  // frees the strings
  }
  ExitProcess(kScriptFailed);
}

// Receives the events of one connected object: the event's number is named
// through the type information of the source interface, and the script's
// global procedure prefix + name, when it has one, is called with the event's
// arguments. Events arrive on the script's thread from inside a call the
// script made, so the engine runs the handler nested in that call.
class EventSink final : public IDispatch {
 public:
  EventSink(const IID& events_iid, ITypeInfo* events, std::wstring prefix)
      : events_iid_(events_iid), events_(events), prefix_(std::move(prefix)) {
    events_->AddRef();
  }
  ~EventSink() { events_->Release(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, events_iid_)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

  // Whatever happens to the event, the object hears S_OK: an event nobody
  // handles is no failure of the object's.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (!script_engine) return S_OK;  // the script has ended
    BSTR event = nullptr;
    UINT named = 0;
    if (FAILED(events_->GetNames(id, &event, 1, &named)) || named == 0) return S_OK;
    const std::wstring handler = prefix_ + std::wstring(event, SysStringLen(event));
    SysFreeString(event);

    IDispatch* script = nullptr;
    if (FAILED(script_engine->GetScriptDispatch(nullptr, &script)) || !script) return S_OK;
    AddRef();  // the handler may disconnect this sink
    DISPID handler_id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(handler.c_str());
    if (SUCCEEDED(script->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &handler_id))) {
      DISPPARAMS none = {nullptr, nullptr, 0, 0};
      HandlerArguments arguments(params ? *params : none);
      EXCEPINFO info{};
      UINT wrong_argument = 0;
      const int reported = errors_reported;
      const HRESULT hr = script->Invoke(handler_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, arguments.Params(),
                                        result, &info, &wrong_argument);
      if (FAILED(hr)) StopAfterHandlerError(handler, hr, info, reported);
      arguments.WriteBack();
    }
    script->Release();
    Release();
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  IID events_iid_;
  ITypeInfo* events_;
  std::wstring prefix_;
};

// The identity of an object (its IUnknown), which is what connections are
// kept by; null when the argument is no object.
IUnknown* Identity(const VARIANT& argument) {
  VARIANT value;
  VariantInit(&value);
  IUnknown* identity = nullptr;
  if (SUCCEEDED(VariantCopyInd(&value, const_cast<VARIANT*>(&argument))) &&
      (V_VT(&value) == VT_DISPATCH || V_VT(&value) == VT_UNKNOWN) && V_UNKNOWN(&value)) {
    V_UNKNOWN(&value)->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  }
  VariantClear(&value);
  return identity;
}

struct Connection {
  IUnknown* object;  // identity, held
  IConnectionPoint* point;
  DWORD cookie;
};
std::vector<Connection> connections;

// The default source interface of an object's class: its identifier and its
// type information. IProvideClassInfo2 names it directly; otherwise the class
// lists it among the interfaces it implements, as [default, source].
HRESULT FindEventInterface(IUnknown* object, IID& iid, ITypeInfo** events, std::wstring& why) {
  *events = nullptr;
  IProvideClassInfo* provider = nullptr;
  ITypeInfo* coclass = nullptr;
  HRESULT hr = object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider));
  if (SUCCEEDED(hr)) hr = provider->GetClassInfo(&coclass);
  if (provider) provider->Release();
  if (FAILED(hr) || !coclass) {
    why = L"the object describes no class, so its events cannot be found";
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  bool named = false;
  IProvideClassInfo2* provider2 = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&provider2)))) {
    named = SUCCEEDED(provider2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &iid));
    provider2->Release();
  }

  TYPEATTR* attributes = nullptr;
  UINT implemented = 0;
  if (SUCCEEDED(coclass->GetTypeAttr(&attributes))) {
    implemented = attributes->cImplTypes;
    coclass->ReleaseTypeAttr(attributes);
  }
  for (UINT i = 0; i < implemented && !*events; ++i) {
    INT flags = 0;
    HREFTYPE reference = 0;
    ITypeInfo* candidate = nullptr;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || FAILED(coclass->GetRefTypeOfImplType(i, &reference)) ||
        FAILED(coclass->GetRefTypeInfo(reference, &candidate))) {
      continue;
    }
    const INT wanted = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
    if (SUCCEEDED(candidate->GetTypeAttr(&attributes))) {
      if (named ? IsEqualIID(attributes->guid, iid) : (flags & wanted) == wanted) {
        iid = attributes->guid;
        *events = candidate;
        candidate->AddRef();
      }
      candidate->ReleaseTypeAttr(attributes);
    }
    candidate->Release();
  }
  if (!*events && named) {  // named, but not listed by the class
    ITypeLib* library = nullptr;
    UINT index = 0;
    if (SUCCEEDED(coclass->GetContainingTypeLib(&library, &index))) {
      library->GetTypeInfoOfGuid(iid, events);
      library->Release();
    }
  }
  coclass->Release();
  if (!*events) {
    why = L"the object's class has no default source interface (it raises no events)";
    return CONNECT_E_NOCONNECTION;
  }
  return S_OK;
}

// Connects the object's events to the script's procedures named prefix + event.
HRESULT Connect(IUnknown* object, const std::wstring& prefix, std::wstring& why) {
  IID iid = IID_NULL;
  ITypeInfo* events = nullptr;
  HRESULT hr = FindEventInterface(object, iid, &events, why);
  if (FAILED(hr)) return hr;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, &point);
  if (container) container->Release();
  if (FAILED(hr)) {
    events->Release();
    why = L"the object offers no connection point for its events";
    return hr;
  }
  EventSink* sink = new EventSink(iid, events, prefix);
  events->Release();
  DWORD cookie = 0;
  hr = point->Advise(sink, &cookie);
  sink->Release();
  if (FAILED(hr)) {
    point->Release();
    why = L"the object refused the connection to its events";
    return hr;
  }
  IUnknown* identity = nullptr;
  object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  connections.push_back({identity, point, cookie});
  return S_OK;
}

// Ends the connections of one object (null: of every object). They leave the
// list before any is ended, so that a call made while ending them (a sink
// released, an object destroyed) sees the list as it will be.
void Disconnect(IUnknown* identity) {
  std::vector<Connection> ending;
  for (auto it = connections.begin(); it != connections.end();) {
    if (!identity || it->object == identity) {
      ending.push_back(*it);
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
  for (Connection& connection : ending) {
    connection.point->Unadvise(connection.cookie);
    connection.point->Release();
    if (connection.object) connection.object->Release();
  }
}

// Fails a WScript method with a description (the script sees it in Err, the
// host's report shows it when the script does not handle it).
HRESULT Raise(EXCEPINFO* exception, const wchar_t* source, HRESULT code, const std::wstring& description) {
  if (!exception) return code;
  *exception = EXCEPINFO{};
  exception->bstrSource = SysAllocString(source);
  exception->bstrDescription = SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
  exception->scode = code;
  return DISP_E_EXCEPTION;
}

class WScriptObject : public StaticDispatch {
 public:
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
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
      case kCreateObject:
        return CreateObject(params, result, exception);
      case kConnectObject: {
        std::wstring prefix, why;
        if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        IUnknown* object = Identity(Argument(params, 0));
        if (!object || FAILED(ToText(Argument(params, 1), prefix))) {
          if (object) object->Release();
          return DISP_E_TYPEMISMATCH;
        }
        HRESULT hr = Connect(object, prefix, why);
        object->Release();
        return FAILED(hr) ? Raise(exception, L"WScript.ConnectObject", hr, why) : S_OK;
      }
      case kDisconnectObject: {
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        IUnknown* object = Identity(Argument(params, 0));
        if (!object) return DISP_E_TYPEMISMATCH;
        Disconnect(object);  // an object that was not connected stays so
        object->Release();
        return S_OK;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  enum : DISPID { kEcho = 1, kQuit, kSleep, kArguments, kCreateObject, kConnectObject, kDisconnectObject };
  std::vector<Member> Members() const override {
    return {{L"Echo", kEcho},
            {L"Quit", kQuit},
            {L"Sleep", kSleep},
            {L"Arguments", kArguments},
            {L"CreateObject", kCreateObject},
            {L"ConnectObject", kConnectObject},
            {L"DisconnectObject", kDisconnectObject}};
  }

  // CreateObject(ProgID or "{CLSID}"[, Prefix]): an object connected with the
  // prefix is handed out only once connected.
  static HRESULT CreateObject(const DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
    std::wstring name, prefix, why;
    if (params->cArgs < 1 || params->cArgs > 2) return DISP_E_BADPARAMCOUNT;
    if (FAILED(ToText(Argument(params, 0), name))) return DISP_E_TYPEMISMATCH;
    if (Given(params, 1) && FAILED(ToText(Argument(params, 1), prefix))) return DISP_E_TYPEMISMATCH;
    CLSID clsid;
    HRESULT hr = !name.empty() && name[0] == L'{' ? CLSIDFromString(name.c_str(), &clsid)
                                                  : CLSIDFromProgID(name.c_str(), &clsid);
    IDispatch* object = nullptr;
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
    }
    if (FAILED(hr)) return Raise(exception, L"WScript.CreateObject", hr, L"cannot create an object of class " + name);
    if (!prefix.empty() && FAILED(hr = Connect(object, prefix, why))) {
      object->Release();
      return Raise(exception, L"WScript.CreateObject", hr, why);
    }
    if (!result) {
      object->Release();
      return S_OK;
    }
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
    return S_OK;
  }
};

WScriptObject wscript_object;

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
    ++errors_reported;
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
  script_engine = engine;
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
  // The script has ended: so have its connections, before the engine closes.
  Disconnect(nullptr);
  script_engine = nullptr;
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
