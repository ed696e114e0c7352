#pragma once

#include <atomic>
#include <new>
#include <type_traits>

#include "automation/frame/dispatch.h"
#include "automation/frame/module.h"
#include "automation/frame/win.h"

namespace vesk::com {

// The identifier an object answers for when it implements I. A mix-in that
// implements a platform interface names it as its `Interface` member type.
template <class I, class = void>
struct InterfaceOf {
  using type = I;
};
template <class I>
struct InterfaceOf<I, std::void_t<typename I::Interface>> {
  using type = typename I::Interface;
};

// Base of every object: reference counting, QueryInterface over the listed
// interfaces, aggregation, and one module lock while the object lives.
//
// When aggregated, the IUnknown methods of every interface go to the outer
// object; the non-delegating IUnknown handed to the outer object at creation
// (`inner_`) keeps this object's own count and table.
template <class Derived, class Main, class... Others>
class ComObject : public Main, public Others... {
 public:
  ComObject() { Module::AddLock(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  virtual ~ComObject() { Module::ReleaseLock(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return outer_ ? outer_->QueryInterface(riid, ppv) : InnerQueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_ ? outer_->AddRef() : InnerAddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_ ? outer_->Release() : InnerRelease(); }

  HRESULT InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      if (outer_) {
        *ppv = static_cast<IUnknown*>(&inner_);
        InnerAddRef();
        return S_OK;
      }
      *ppv = static_cast<IUnknown*>(static_cast<Main*>(this));
    } else if constexpr (std::is_base_of_v<IDispatch, Main>) {
      if (IsEqualIID(riid, IID_IDispatch)) *ppv = static_cast<IDispatch*>(static_cast<Main*>(this));
    }
    // A derived interface answers for the catalogued one it extends as well.
    if constexpr (requires { typename Main::CataloguedInterface; }) {
      using Catalogued = typename Main::CataloguedInterface;
      if (!*ppv && IsEqualIID(riid, __uuidof(Catalogued))) *ppv = static_cast<Catalogued*>(static_cast<Main*>(this));
    }
    if (!*ppv) *ppv = Find<Main, Others...>(riid);
    if (!*ppv) return E_NOINTERFACE;
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
  }

  ULONG InnerAddRef() { return static_cast<ULONG>(++refs_); }
  ULONG InnerRelease() {
    const LONG left = --refs_;
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }

  // Makes a plain (not aggregated) object and hands out one interface of it.
  template <class Interface, class... Args>
  static HRESULT CreateInstance(Interface** result, Args&&... args) {
    if (!result) return E_POINTER;
    *result = nullptr;
    Derived* object = new (std::nothrow) Derived(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    object->InnerAddRef();
    const HRESULT hr = object->InnerQueryInterface(__uuidof(Interface), reinterpret_cast<void**>(result));
    object->InnerRelease();
    return hr;
  }

  // Class-factory creation: `outer` may aggregate the new object, in which
  // case only IUnknown may be asked for (COM's aggregation rule).
  static HRESULT CreateForFactory(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    Derived* object = new (std::nothrow) Derived();
    if (!object) return E_OUTOFMEMORY;
    object->outer_ = outer;
    object->InnerAddRef();
    const HRESULT hr = object->InnerQueryInterface(riid, ppv);
    object->InnerRelease();  // a failed query destroys the new object
    return hr;
  }

 protected:
  // The interface this object hands out by default (its main interface).
  Main* MainInterface() { return static_cast<Main*>(this); }

 private:
  // A mix-in answers for its interface, and for the one it derives from
  // when it names that as `BaseInterface` (IProvideClassInfo2 is asked for
  // as IProvideClassInfo too).
  template <class I>
  static bool Answers(REFIID riid) {
    if (IsEqualIID(riid, __uuidof(typename InterfaceOf<I>::type))) return true;
    if constexpr (requires { typename I::BaseInterface; }) return IsEqualIID(riid, __uuidof(typename I::BaseInterface));
    return false;
  }
  template <class... Is>
  void* Find(REFIID riid) {
    void* found = nullptr;
    ((found = found ? found
                    : (Answers<Is>(riid)
                           ? static_cast<void*>(static_cast<typename InterfaceOf<Is>::type*>(static_cast<Is*>(this)))
                           : nullptr)),
     ...);
    return found;
  }

  struct NonDelegating : IUnknown {
    explicit NonDelegating(ComObject* owner) : owner(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return owner->InnerQueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return owner->InnerAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner->InnerRelease(); }
    ComObject* owner;
  };

  LONG refs_ = 0;
  IUnknown* outer_ = nullptr;
  NonDelegating inner_{this};
};

// An object whose main interface is dual: IDispatch goes through the type
// information of the main interface (for a derived interface, the derived
// one, so late-bound callers reach the catalogued and the new members).
template <class Derived, class Main, class... Others>
class DispatchObject : public ComObject<Derived, Main, Others...> {
  using DispatchInterface = typename InterfaceOf<Main>::type;

 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* type_info = nullptr;
    const HRESULT hr = DispatchTypeInfo(&type_info);
    if (FAILED(hr)) return hr;
    type_info->AddRef();
    *info = type_info;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ITypeInfo* type_info = nullptr;
    const HRESULT hr = DispatchTypeInfo(&type_info);
    if (FAILED(hr)) return hr;
    return type_info->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* arg_error) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* type_info = nullptr;
    const HRESULT hr = DispatchTypeInfo(&type_info);
    if (FAILED(hr)) return hr;
    // A failure without a description of its own must not pick up the error
    // object an earlier, unrelated failure left on the thread.
    SetErrorInfo(0, nullptr);
    if ((flags & DISPATCH_PROPERTYGET) && result && params && params->cArgs == 0 && params->cNamedArgs == 0 &&
        ReadText(type_info, id, result)) {
      return S_OK;
    }
    // Callers that treat every member as a method (JScript's Enumerator asks
    // for _NewEnum that way, and a statement such as "m.To.Item(9);" asks
    // with no room for a result) reach property reads too, as on Windows; a
    // result nobody asked for is received here and let go.
    VARIANT unused;
    if (flags & DISPATCH_METHOD) {
      flags |= DISPATCH_PROPERTYGET;
      if (!result) {
        VariantInit(&unused);
        result = &unused;
      }
    }
    const HRESULT invoked =
        type_info->Invoke(static_cast<Main*>(this), id, flags, params, result, exception, arg_error);
    if (result == &unused) VariantClear(&unused);
    return invoked;
  }

 private:
  // A text property read straight through its vtable slot, the string handed
  // over as the member made it. The general way (the type information's
  // Invoke) copies the string it gets, which for a whole rendered message is
  // tens of megabytes. False when `id` reads no text property or the member
  // failed: then the general way runs (and asks the member again), so that
  // failures are reported exactly as for every other member.
  bool ReadText(ITypeInfo* type_info, DISPID id, VARIANT* result) {
    static const std::vector<TextGetter> getters = FindTextGetters(type_info);
    for (const TextGetter& getter : getters) {
      if (getter.id != id) continue;
      using Reader = HRESULT(STDMETHODCALLTYPE*)(void*, BSTR*);
      void* self = static_cast<DispatchInterface*>(static_cast<Main*>(this));
      const Reader read = (*static_cast<Reader**>(self))[getter.slot];
      BSTR text = nullptr;
      if (FAILED(read(self, &text))) {
        SysFreeString(text);
        SetErrorInfo(0, nullptr);
        return false;
      }
      VariantInit(result);
      V_VT(result) = VT_BSTR;
      V_BSTR(result) = text;
      return true;
    }
    return false;
  }

  // The module's type information of the dispatch interface, remembered by
  // this class once found: every call through IDispatch needs it, and the
  // module's cache takes its lock. The module keeps the pointer until it
  // unloads, which takes this copy with it.
  static HRESULT DispatchTypeInfo(ITypeInfo** info) {
    static std::atomic<ITypeInfo*> known{nullptr};
    *info = known.load(std::memory_order_acquire);
    if (*info) return S_OK;
    const HRESULT hr = TypeInfoFor(__uuidof(DispatchInterface), info);
    if (SUCCEEDED(hr)) known.store(*info, std::memory_order_release);
    return hr;
  }
};

// Answers the platform's "does this interface report error information"
// question: yes for the object's main interface (and the catalogued one a
// derived main interface extends), no for any other.
template <class... Interfaces>
class ErrorInfoSupport : public ISupportErrorInfo {
 public:
  using Interface = ISupportErrorInfo;
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return (IsEqualIID(riid, __uuidof(Interfaces)) || ...) ? S_OK : S_FALSE;
  }
};

}  // namespace vesk::com
