#pragma once

#include <utility>

#include "automation/frame/win.h"

namespace vesk::com {

// Owning interface pointer. put() releases the old value before handing out
// the address, so reusing a holder cannot leak.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(T* p) : p_(p) {  // NOLINT: adopting with AddRef is the common case
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { reset(); }
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  static ComPtr Adopt(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  void reset() {
    if (T* old = std::exchange(p_, nullptr)) old->Release();
  }
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* detach() { return std::exchange(p_, nullptr); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  template <class U>
  HRESULT As(ComPtr<U>& target) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(__uuidof(U), target.put_void());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace vesk::com
