#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "automation/frame/com_object.h"
#include "automation/frame/errors.h"

namespace vesk::com {

// The IEnumVARIANT of a collection, over a Sequence that says how many items
// there are now (`size_t Size() const`) and makes the object for one of them
// (`HRESULT MakeItem(size_t index, IDispatch** item) const`). The sequence is
// asked anew at every call, so items added or removed later are seen or
// missed according to the position; it also holds whatever keeps the
// collection alive.
template <class Sequence>
class VariantEnumerator : public ComObject<VariantEnumerator<Sequence>, IEnumVARIANT> {
 public:
  VariantEnumerator(Sequence sequence, size_t position) : sequence_(std::move(sequence)), position_(position) {}

  static HRESULT Create(Sequence sequence, IUnknown** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    IEnumVARIANT* created = nullptr;
    const HRESULT hr = VariantEnumerator::CreateInstance(&created, std::move(sequence), size_t{0});
    *result = created;
    return hr;
  }

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    return Guarded([&] {
      if (!items || (count != 1 && !fetched)) return E_POINTER;
      ULONG delivered = 0;
      while (delivered < count && position_ < sequence_.Size()) {
        VARIANT& item = items[delivered];
        VariantInit(&item);
        IDispatch* object = nullptr;
        const HRESULT hr = sequence_.MakeItem(position_, &object);
        if (FAILED(hr)) {
          for (ULONG i = 0; i < delivered; ++i) VariantClear(&items[i]);
          if (fetched) *fetched = 0;
          return hr;
        }
        V_VT(&item) = VT_DISPATCH;
        V_DISPATCH(&item) = object;
        ++delivered;
        ++position_;
      }
      if (fetched) *fetched = delivered;
      return delivered < count ? S_FALSE : S_OK;
    });
  }

  STDMETHODIMP Skip(ULONG count) override {
    const size_t size = sequence_.Size();
    const size_t skipped = std::min<size_t>(count, position_ < size ? size - position_ : 0);
    position_ += skipped;
    return skipped == count ? S_OK : S_FALSE;
  }

  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }

  STDMETHODIMP Clone(IEnumVARIANT** result) override {
    return Guarded([&] { return VariantEnumerator::CreateInstance(result, sequence_, position_); });
  }

 private:
  Sequence sequence_;
  size_t position_;
};

// Positions given by callers count from 1; false outside 1 to count.
inline bool ToIndex(LONG position, size_t count, size_t& index) {
  if (position < 1 || static_cast<size_t>(position) > count) return false;
  index = static_cast<size_t>(position - 1);
  return true;
}

}  // namespace vesk::com
