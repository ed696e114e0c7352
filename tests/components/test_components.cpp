// Stand-ins for platform pieces no one runs here, registered for the tests
// only: a page context whose Server object maps virtual paths under a folder
// (as the page engine's MapPath does), a component that offers the
// binary-source interface, and an object that raises events (for the script
// host). Scripts create them by ProgID:
//   VeskTest.PageContext   .Root = physical folder that "/" maps to
//   VeskTest.ByteSource    .Text = content (one byte per character)
//   VeskTest.Pinger        .Fire(Count) raises Ping events (event_source.cpp)
#include <initguid.h>

#include <string>

#include "automation/content_sources.h"
#include "automation/frame/com_object.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/page_engine.h"
#include "components/event_source.h"
#include "vesktest_events_h.h"

namespace vesk::testing_components {
namespace {

using com::ComObject;
using com::ComPtr;

// {7E0D2A51-3C4B-4E8F-9A61-2B5C7D8E9F01} and {7E0D2A52-3C4B-4E8F-9A61-2B5C7D8E9F02}
const CLSID kClsidPageContext = {0x7E0D2A51, 0x3C4B, 0x4E8F, {0x9A, 0x61, 0x2B, 0x5C, 0x7D, 0x8E, 0x9F, 0x01}};
const CLSID kClsidByteSource = {0x7E0D2A52, 0x3C4B, 0x4E8F, {0x9A, 0x61, 0x2B, 0x5C, 0x7D, 0x8E, 0x9F, 0x02}};

HINSTANCE g_instance = nullptr;

// IDispatch without type information over one text property (DISPID 1,
// called name_; none when that is empty): enough for a script to configure
// the object.
template <class Base>
class OnePropertyDispatch : public Base {
 public:
  using Interface = Base;
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1 || !*name_ || _wcsicmp(names[0], name_) != 0) return DISP_E_UNKNOWNNAME;
    ids[0] = 1;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id != 1 || !*name_) return DISP_E_MEMBERNOTFOUND;
    if ((flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1) {
      VARIANT text;
      VariantInit(&text);
      const HRESULT hr = VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR);
      if (FAILED(hr)) return hr;
      value_.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
      VariantClear(&text);
      return S_OK;
    }
    if (!(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocStringLen(value_.data(), static_cast<UINT>(value_.size()));
    return S_OK;
  }

 protected:
  std::wstring value_;
  const wchar_t* name_ = L"";
};

class ServerStandIn : public ComObject<ServerStandIn, OnePropertyDispatch<IServer>> {
 public:
  ServerStandIn(ComPtr<IScriptingContext> context, const std::wstring* root)
      : context_(std::move(context)), root_(root) {}
  STDMETHODIMP get_ScriptTimeout(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ScriptTimeout(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP CreateObject(BSTR, IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP HTMLEncode(BSTR, BSTR*) override { return E_NOTIMPL; }
  // "/site/file.txt" or "site\file.txt" under the root folder; a path that
  // climbs above the root (with "..") fails, as the page engine's does.
  STDMETHODIMP MapPath(BSTR logical, BSTR* physical) override {
    if (!physical) return E_POINTER;
    *physical = nullptr;
    std::wstring path(logical ? logical : L"");
    if (path.find(L"..") != std::wstring::npos || root_->empty()) return E_FAIL;
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    const size_t start = path.find_first_not_of(L'\\');
    path.erase(0, start == std::wstring::npos ? path.size() : start);
    const std::wstring result = *root_ + (root_->back() == L'\\' ? L"" : L"\\") + path;
    *physical = SysAllocString(result.c_str());
    return *physical ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP URLEncode(BSTR, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP URLPathEncode(BSTR, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Execute(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP Transfer(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetLastError(IASPError**) override { return E_NOTIMPL; }

 private:
  ComPtr<IScriptingContext> context_;  // keeps the root below alive
  const std::wstring* root_;
};

class PageContextStandIn : public ComObject<PageContextStandIn, OnePropertyDispatch<IScriptingContext>> {
 public:
  PageContextStandIn() { name_ = L"Root"; }
  STDMETHODIMP get_Request(IRequest**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Response(IResponse**) override { return E_NOTIMPL; }
  // A new Server object each time; it holds the context, not the reverse, so
  // no reference cycle keeps either alive.
  STDMETHODIMP get_Server(IServer** server) override {
    return ServerStandIn::CreateInstance(server, ComPtr<IScriptingContext>(this), &value_);
  }
  STDMETHODIMP get_Session(ISessionObject**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Application(IApplicationObject**) override { return E_NOTIMPL; }
};

class ByteSourceStandIn : public ComObject<ByteSourceStandIn, OnePropertyDispatch<com::IBinarySource>> {
 public:
  ByteSourceStandIn() { name_ = L"Text"; }
  STDMETHODIMP Reserved1() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved2() override { return E_NOTIMPL; }
  STDMETHODIMP GetBytes(VARIANT* bytes) override {
    if (!bytes) return E_POINTER;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value_.size()));
    if (!array) return E_OUTOFMEMORY;
    unsigned char* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (size_t i = 0; i < value_.size(); ++i) data[i] = static_cast<unsigned char>(value_[i]);
    SafeArrayUnaccessData(array);
    V_VT(bytes) = VT_ARRAY | VT_UI1;
    V_ARRAY(bytes) = array;
    return S_OK;
  }
};

// Class objects (static, so never released) and their registration.
class Factory : public IClassFactory {
 public:
  Factory(const CLSID* clsid, const wchar_t* prog_id, HRESULT (*create)(IUnknown*, REFIID, void**))
      : clsid(clsid), prog_id(prog_id), create(create) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory);
    *ppv = known ? this : nullptr;
    return known ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override { return create(outer, riid, ppv); }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  const CLSID* clsid;
  const wchar_t* prog_id;
  HRESULT (*create)(IUnknown*, REFIID, void**);
};

Factory g_factories[] = {{&kClsidPageContext, L"VeskTest.PageContext", &PageContextStandIn::CreateForFactory},
                         {&kClsidByteSource, L"VeskTest.ByteSource", &ByteSourceStandIn::CreateForFactory},
                         {&CLSID_Pinger, L"VeskTest.Pinger", &CreatePinger}};

std::wstring ClassKey(const Factory& factory) {
  wchar_t text[40] = {};
  StringFromGUID2(*factory.clsid, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

LONG SetKey(const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr) {
  return RegSetKeyValueW(HKEY_CLASSES_ROOT, path.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace
}  // namespace vesk::testing_components

using namespace vesk::testing_components;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  for (Factory& factory : g_factories) {
    if (IsEqualCLSID(clsid, *factory.clsid)) return factory.QueryInterface(riid, ppv);
  }
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return vesk::com::Module::LockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(g_instance, path, MAX_PATH);
  for (const Factory& factory : g_factories) {
    LONG status = SetKey(std::wstring(factory.prog_id) + L"\\CLSID", ClassKey(factory).substr(6));
    if (status == ERROR_SUCCESS) status = SetKey(ClassKey(factory) + L"\\InprocServer32", path);
    if (status == ERROR_SUCCESS) {
      status = SetKey(ClassKey(factory) + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
    }
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  for (const Factory& factory : g_factories) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, factory.prog_id);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(factory).c_str());
  }
  return S_OK;
}
