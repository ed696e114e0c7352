#include "automation/frame/arrays.h"

#include "automation/frame/strings.h"

namespace vesk::com {
namespace {

template <class Item, class Fill>
HRESULT MakeVariantArray(const std::vector<Item>& items, VARIANT* result, Fill fill) {
  if (!result) return E_POINTER;
  VariantInit(result);
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
  if (!array) return E_OUTOFMEMORY;
  VARIANT* elements = nullptr;
  HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&elements));
  for (size_t i = 0; SUCCEEDED(hr) && i < items.size(); ++i) hr = fill(items[i], elements[i]);
  if (elements) SafeArrayUnaccessData(array);
  if (FAILED(hr)) {
    SafeArrayDestroy(array);
    return hr;
  }
  V_VT(result) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(result) = array;
  return S_OK;
}

}  // namespace

HRESULT MakeTextArray(const std::vector<std::string>& items, VARIANT* result, UINT code_page) {
  return MakeVariantArray(items, result, [code_page](const std::string& item, VARIANT& element) {
    V_VT(&element) = VT_BSTR;
    return ToBstr(item, &V_BSTR(&element), code_page);
  });
}

HRESULT MakeIntegerArray(const std::vector<int32_t>& items, VARIANT* result) {
  return MakeVariantArray(items, result, [](int32_t item, VARIANT& element) {
    V_VT(&element) = VT_I4;
    V_I4(&element) = item;
    return S_OK;
  });
}

// Unsigned 32-bit values (UIDs) as doubles, which hold each exactly.
HRESULT MakeUnsignedArray(const std::vector<uint32_t>& items, VARIANT* result) {
  return MakeVariantArray(items, result, [](uint32_t item, VARIANT& element) {
    V_VT(&element) = VT_R8;
    V_R8(&element) = static_cast<double>(item);
    return S_OK;
  });
}

}  // namespace vesk::com
