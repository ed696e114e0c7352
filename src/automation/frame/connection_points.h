#pragma once

#include "automation/frame/win.h"

namespace vesk::com {

// A connection-point container without connection points: lookups fail with
// CONNECT_E_NOCONNECTION and the enumeration is empty.
class EmptyConnectionPointContainer : public IConnectionPointContainer {
 public:
  using Interface = IConnectionPointContainer;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** result) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** result) override;
};

}  // namespace vesk::com
