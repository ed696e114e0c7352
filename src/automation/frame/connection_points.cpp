#include "automation/frame/connection_points.h"

#include "automation/frame/com_object.h"

namespace vesk::com {
namespace {

class EmptyConnectionPointEnumerator : public ComObject<EmptyConnectionPointEnumerator, IEnumConnectionPoints> {
 public:
  STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override {
    if (!points || (count != 1 && !fetched)) return E_POINTER;
    if (fetched) *fetched = 0;
    return count == 0 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override { return count == 0 ? S_OK : S_FALSE; }
  STDMETHODIMP Reset() override { return S_OK; }
  STDMETHODIMP Clone(IEnumConnectionPoints** result) override { return CreateInstance(result); }
};

}  // namespace

STDMETHODIMP EmptyConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** result) {
  return EmptyConnectionPointEnumerator::CreateInstance(result);
}

STDMETHODIMP EmptyConnectionPointContainer::FindConnectionPoint(REFIID, IConnectionPoint** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  return CONNECT_E_NOCONNECTION;
}

}  // namespace vesk::com
