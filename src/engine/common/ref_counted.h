#pragma once

#include <cstdint>
#include <utility>

namespace vesk {

// Base of engine objects that several owners share (a header list held by its
// part and by dictionary objects, an address item held by its list and by
// address objects). The count is a plain integer: every object is used by one
// thread only.
class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const { ++refs_; }
  void Release() const {
    if (--refs_ == 0) delete this;
  }
  uint32_t RefCount() const { return refs_; }

 protected:
  virtual ~RefCounted() = default;

 private:
  mutable uint32_t refs_ = 0;
};

// Owning pointer to a RefCounted object: copying adds a reference, destruction
// releases one.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(T* object) : object_(object) {  // NOLINT: implicit from raw pointer is intended
    if (object_) object_->AddRef();
  }
  Ref(const Ref& other) : Ref(other.object_) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& other) : Ref(other.get()) {}
  ~Ref() { reset(); }

  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  void reset() {
    if (T* old = std::exchange(object_, nullptr)) old->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.object_ == b.object_; }

 private:
  T* object_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

}  // namespace vesk
