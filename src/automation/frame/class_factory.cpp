#include "automation/frame/class_factory.h"

#include <mutex>
#include <new>
#include <vector>

#include "automation/frame/module.h"

namespace vesk::com {
namespace {

struct CachedFactory {
  const CLSID* clsid;
  ClassFactory* factory;
};

std::vector<CachedFactory>& Cache() {
  static std::vector<CachedFactory> cache;
  return cache;
}

}  // namespace

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) ClassFactory::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  return create_(outer, riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    Module::AddLock();
  } else {
    Module::ReleaseLock();
  }
  return S_OK;
}

HRESULT GetClassFactory(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const ClassEntry* entry = nullptr;
  for (const ClassEntry& candidate : ClassTable()) {
    if (IsEqualCLSID(*candidate.clsid, clsid)) entry = &candidate;
  }
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;

  ClassFactory* factory = nullptr;
  {
    std::lock_guard<std::mutex> guard(Module::Mutex());
    for (const CachedFactory& cached : Cache()) {
      if (cached.clsid == entry->clsid) factory = cached.factory;
    }
    if (!factory) {
      factory = new (std::nothrow) ClassFactory(entry->create);
      if (!factory) return E_OUTOFMEMORY;
      try {
        Cache().push_back({entry->clsid, factory});
      } catch (...) {
        factory->Release();
        return E_OUTOFMEMORY;
      }
    }
  }
  return factory->QueryInterface(riid, ppv);
}

void ReleaseClassFactories() {
  std::lock_guard<std::mutex> guard(Module::Mutex());
  for (const CachedFactory& cached : Cache()) cached.factory->Release();
  Cache().clear();
}

}  // namespace vesk::com
