#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "automation/frame/com_ptr.h"
#include "automation/frame/win.h"

namespace vesk::com {

// The outgoing events of an object: one connection point, for the library's
// event interface (_IVeskMailEvents), whose sinks are called through
// IDispatch on the caller's thread while the object works. A sink that
// fails does not stop the work.
class EventSource : public IConnectionPointContainer {
 public:
  using Interface = IConnectionPointContainer;

  EventSource();
  ~EventSource();

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** result) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** result) override;

  // Progress to every sink; false when one of them set Cancel.
  bool FireProgress(int operation, std::uint64_t done, std::uint64_t total);
  void FireMailboxChanged(std::int32_t message_count);

  // Told whether any sink is connected, whenever that changes, so that an
  // object counts bytes only while someone listens.
  std::function<void(bool connected)> sinks_changed;

 private:
  class Point;
  friend class Point;
  std::vector<ComPtr<IDispatch>> Sinks() const;

  Point* point_;
};

// IProvideClassInfo2 for a class whose events are _IVeskMailEvents: the
// coclass's type information from the library's type library, and the
// event interface as its default source.
class ClassInfoBase : public IProvideClassInfo2 {
 public:
  using Interface = IProvideClassInfo2;
  using BaseInterface = IProvideClassInfo;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

 protected:
  HRESULT ClassInfoOf(REFCLSID clsid, ITypeInfo** info);
};

template <const CLSID& Clsid>
class ClassInfoSupport : public ClassInfoBase {
 public:
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override { return ClassInfoOf(Clsid, info); }
};

}  // namespace vesk::com
