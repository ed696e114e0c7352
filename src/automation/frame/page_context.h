#pragma once

#include "automation/frame/com_ptr.h"
#include "automation/frame/win.h"

namespace vesk::com {

// What a protocol object keeps of the page that holds it: the page context
// given to OnStartPage, handed on to every message object it makes.
class PageContextHolder {
 public:
  HRESULT OnStartPage(IUnknown* context) {
    if (!context) return E_POINTER;
    context_ = context;
    return S_OK;
  }
  HRESULT OnEndPage() { return S_OK; }
  IUnknown* get() const { return context_.get(); }

 private:
  ComPtr<IUnknown> context_;
};

}  // namespace vesk::com
