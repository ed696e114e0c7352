#pragma once

#include "automation/frame/class_table.h"
#include "automation/frame/win.h"

namespace vesk::com {

// The factory of one creatable class. Factories are cached by the module and
// do not count as live objects.
class ClassFactory : public IClassFactory {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}
  virtual ~ClassFactory() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  LONG refs_ = 1;  // the module cache's reference
  CreateFunction create_;
};

// The cached factory for `clsid` (made on first request, under the module
// lock), with a reference added; CLASS_E_CLASSNOTAVAILABLE for other classes.
HRESULT GetClassFactory(REFCLSID clsid, REFIID riid, void** ppv);

// Drops the cached factories (module unload).
void ReleaseClassFactories();

}  // namespace vesk::com
