// Stand-ins for platform pieces no one runs here, registered for the tests
// only: a page context whose Server object maps virtual paths under a folder
// (as the page engine's MapPath does), and a component that offers the
// binary-source interface. Scripts create them by ProgID:
//   VeskTest.PageContext   .Root = physical folder that "/" maps to
//   VeskTest.ByteSource    .Text = content (one byte per character)
#include <initguid.h>

#include <string>

#include "automation/content_sources.h"
#include "automation/frame/com_object.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/page_engine.h"

namespace vesk::testing_components {
namespace {

using com::ComObject;
using com::ComPtr;

// {7E0D2A51-3C4B-4E8F-9A61-2B5C7D8E9F01}
const CLSID kClsidPageContext = {0x7E0D2A51, 0x3C4B, 0x4E8F, {0x9A, 0x61, 0x2B, 0x5C, 0x7D, 0x8E, 0x9F, 0x01}};
// {7E0D2A52-3C4B-4E8F-9A61-2B5C7D8E9F02}
const CLSID kClsidByteSource = {0x7E0D2A52, 0x3C4B, 0x4E8F, {0x9A, 0x61, 0x2B, 0x5C, 0x7D, 0x8E, 0x9F, 0x02}};

HINSTANCE g_instance = nullptr;

// IDispatch over one text property, "Root" or "Text" (DISPID 1), and one
// read-only count (DISPID 2); enough for a script to configure the object.
template <class Base>
class OnePropertyDispatch : public Base {
 public:
  using Interface = Base;
  const std::wstring& value() const { return value_; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return DISP_E_UNKNOWNNAME;
    if (_wcsicmp(names[0], property_name_) == 0) {
      ids[0] = 1;
      return S_OK;
    }
    if (_wcsicmp(names[0], L"Size") == 0) {
      ids[0] = 2;
      return S_OK;
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id == 1 && (flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1) {
      VARIANT text;
      VariantInit(&text);
      HRESULT hr = VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR);
      if (FAILED(hr)) return hr;
      value_.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
      VariantClear(&text);
      return S_OK;
    }
    if ((id == 1 || id == 2) && (flags & DISPATCH_PROPERTYGET) && result) {
      VariantInit(result);
      if (id == 1) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocStringLen(value_.data(), static_cast<UINT>(value_.size()));
      } else {
        V_VT(result) = VT_I4;
        V_I4(result) = static_cast<LONG>(value_.size());
      }
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  void set_property_name(const wchar_t* name) { property_name_ = name; }
  std::wstring value_;

 private:
  const wchar_t* property_name_ = L"";
};

class PageContextStandIn;

class ServerStandIn : public ComObject<ServerStandIn, IServer> {
 public:
  ServerStandIn(ComPtr<IScriptingContext> context, const std::wstring* root)
      : context_(std::move(context)), root_(root) {}
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
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
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    while (!path.empty() && path.front() == L'\\') path.erase(0, 1);
    std::wstring result = *root_;
    if (!result.empty() && result.back() != L'\\') result += L'\\';
    result += path;
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
  PageContextStandIn() { set_property_name(L"Root"); }
  STDMETHODIMP get_Request(IRequest**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Response(IResponse**) override { return E_NOTIMPL; }
  // A new Server object each time; it holds the context, not the reverse, so
  // no reference cycle keeps either alive.
  STDMETHODIMP get_Server(IServer** server) override {
    return ServerStandIn::CreateInstance(server, ComPtr<IScriptingContext>(this), &value());
  }
  STDMETHODIMP get_Session(ISessionObject**) override { return E_NOTIMPL; }
  STDMETHODIMP get_Application(IApplicationObject**) override { return E_NOTIMPL; }
};

class ByteSourceStandIn : public ComObject<ByteSourceStandIn, OnePropertyDispatch<com::IBinarySource>> {
 public:
  ByteSourceStandIn() { set_property_name(L"Text"); }
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

// Class objects and registration of the two stand-ins.
struct StandInClass {
  const CLSID* clsid;
  const wchar_t* prog_id;
  HRESULT (*create)(IUnknown*, REFIID, void**);
};

const StandInClass kClasses[] = {
    {&kClsidPageContext, L"VeskTest.PageContext", &PageContextStandIn::CreateForFactory},
    {&kClsidByteSource, L"VeskTest.ByteSource", &ByteSourceStandIn::CreateForFactory},
};

class Factory : public IClassFactory {
 public:
  explicit Factory(const StandInClass* entry) : entry_(entry) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static lifetime
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return entry_->create(outer, riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  const StandInClass* entry_;
};

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

LONG SetKey(const std::wstring& path, const wchar_t* value, const wchar_t* name = nullptr) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

}  // namespace
}  // namespace vesk::testing_components

using namespace vesk::testing_components;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  static Factory factories[] = {Factory(&kClasses[0]), Factory(&kClasses[1])};
  for (size_t i = 0; i < 2; ++i) {
    if (IsEqualCLSID(clsid, *kClasses[i].clsid)) return factories[i].QueryInterface(riid, ppv);
  }
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return vesk::com::Module::LockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(g_instance, path, MAX_PATH);
  for (const StandInClass& entry : kClasses) {
    const std::wstring clsid = GuidText(*entry.clsid);
    LONG status = SetKey(std::wstring(entry.prog_id) + L"\\CLSID", clsid.c_str());
    if (status == ERROR_SUCCESS) status = SetKey(L"CLSID\\" + clsid + L"\\InprocServer32", path);
    if (status == ERROR_SUCCESS)
      status = SetKey(L"CLSID\\" + clsid + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  for (const StandInClass& entry : kClasses) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, entry.prog_id);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(*entry.clsid)).c_str());
  }
  return S_OK;
}
