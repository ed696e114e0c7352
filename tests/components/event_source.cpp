// VeskTest.Pinger: an object that raises events, for the script host's tests
// of WScript.CreateObject with a prefix, ConnectObject and DisconnectObject.
//
//   n = pinger.Fire(Count)    raises Ping(Number, Cancel) for Number = 1 to
//                             Count, on the caller's thread, before it
//                             returns; stops after the ping whose handler set
//                             the by-reference Cancel; then raises Done(n),
//                             n being the number of pings raised
//   pinger.Connections        how many sinks are connected
//   pinger.PlainClassInfo = True
//                             (set only) the object no longer offers
//                             IProvideClassInfo2, only IProvideClassInfo
//                             (a host must then find the source interface
//                             in the class's type information)
//
// The type information comes from the type library in this DLL's resources
// (event_source.idl). One class plays the container and its one connection
// point.
#include "components/event_source.h"

#include <utility>
#include <vector>

#include "automation/frame/com_ptr.h"
#include "automation/frame/module.h"
#include "vesktest_events_h.h"

namespace vesk::testing_components {
namespace {

using com::ComPtr;

enum : DISPID { kFire = 1, kConnections = 2, kPlainClassInfo = 3 };
enum : DISPID { kPing = 1, kDone = 2 };

HRESULT LoadOwnTypeLibrary(ITypeLib** library) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&LoadOwnTypeLibrary), &module);
  wchar_t path[MAX_PATH];
  if (!GetModuleFileNameW(module, path, MAX_PATH)) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path, REGKIND_NONE, library);
}

class Pinger final : public IDispatch,
                     public IProvideClassInfo2,
                     public IConnectionPointContainer,
                     public IConnectionPoint {
 public:
  Pinger() { com::Module::AddLock(); }
  ~Pinger() {
    for (auto& sink : sinks_) sink.second->Release();
    com::Module::ReleaseLock();
  }
  HRESULT Init() { return LoadOwnTypeLibrary(library_.put()); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID_DPinger)) {
      *ppv = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo) ||
               (IsEqualIID(riid, IID_IProvideClassInfo2) && !plain_class_info_)) {
      *ppv = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPoint)) {
      *ppv = static_cast<IConnectionPoint*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch, named through the type information, invoked here.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return index == 0 ? library_->GetTypeInfoOfGuid(DIID_DPinger, info) : DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ComPtr<ITypeInfo> info;
    const HRESULT hr = library_->GetTypeInfoOfGuid(DIID_DPinger, info.put());
    return FAILED(hr) ? hr : info->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id != kFire && id != kConnections && !(id == kPlainClassInfo && (flags & DISPATCH_PROPERTYPUT))) {
      return DISP_E_MEMBERNOTFOUND;
    }
    const UINT given = params ? params->cArgs : 0;
    if (given != (id == kConnections ? 0u : 1u)) return DISP_E_BADPARAMCOUNT;
    VARIANT argument;
    VariantInit(&argument);
    if (given == 1 && FAILED(VariantChangeType(&argument, &params->rgvarg[0], 0, id == kFire ? VT_I4 : VT_BOOL))) {
      return DISP_E_TYPEMISMATCH;
    }
    if (id == kPlainClassInfo) {
      plain_class_info_ = V_BOOL(&argument) != VARIANT_FALSE;
      return S_OK;
    }
    const LONG answer = id == kFire ? Fire(V_I4(&argument)) : static_cast<LONG>(sinks_.size());
    if (result) {
      V_VT(result) = VT_I4;
      V_I4(result) = answer;
    }
    return S_OK;
  }

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return library_->GetTypeInfoOfGuid(CLSID_Pinger, info);
  }
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *guid = DIID_DPingerEvents;
    return S_OK;
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(riid, DIID_DPingerEvents)) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }

  // IConnectionPoint. A sink must answer for the event interface itself.
  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = DIID_DPingerEvents;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
    if (!container) return E_POINTER;
    *container = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    IDispatch* events = nullptr;
    if (FAILED(sink->QueryInterface(DIID_DPingerEvents, reinterpret_cast<void**>(&events)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = ++last_cookie_;
    sinks_.emplace_back(*cookie, events);
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->first != cookie) continue;
      IDispatch* sink = it->second;
      sinks_.erase(it);
      sink->Release();
      return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  LONG Fire(LONG count) {
    LONG fired = 0;
    for (LONG number = 1; number <= count; ++number) {
      VARIANT_BOOL cancel = VARIANT_FALSE;
      VARIANT arguments[2];  // in reverse order: Cancel, Number
      V_VT(&arguments[0]) = VT_BYREF | VT_BOOL;
      V_BOOLREF(&arguments[0]) = &cancel;
      V_VT(&arguments[1]) = VT_I4;
      V_I4(&arguments[1]) = number;
      Raise(kPing, arguments, 2);
      ++fired;
      if (cancel != VARIANT_FALSE) break;
    }
    VARIANT done;
    V_VT(&done) = VT_I4;
    V_I4(&done) = fired;
    Raise(kDone, &done, 1);
    return fired;
  }

  // Every sink connected when the event starts hears it, even if a handler
  // disconnects one on the way.
  void Raise(DISPID event, VARIANT* arguments, UINT count) {
    std::vector<ComPtr<IDispatch>> listeners;
    for (auto& sink : sinks_) listeners.emplace_back(sink.second);
    for (auto& listener : listeners) {
      DISPPARAMS params = {arguments, nullptr, count, 0};
      listener->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
  }

  LONG refs_ = 1;
  ComPtr<ITypeLib> library_;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD last_cookie_ = 0;
  bool plain_class_info_ = false;
};

}  // namespace

HRESULT CreatePinger(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  Pinger* pinger = new (std::nothrow) Pinger();
  if (!pinger) return E_OUTOFMEMORY;
  HRESULT hr = pinger->Init();
  if (SUCCEEDED(hr)) hr = pinger->QueryInterface(riid, ppv);
  pinger->Release();
  return hr;
}

}  // namespace vesk::testing_components
