#include "automation/frame/connection_points.h"

#include <algorithm>
#include <limits>

#include "automation/frame/com_object.h"
#include "automation/frame/dispatch.h"

namespace vesk::com {

// The one connection point: sinks by cookie. It holds its container (the
// owning object) only while a caller holds the point.
class EventSource::Point final : public ComObject<Point, IConnectionPoint> {
 public:
  explicit Point(EventSource* owner) : owner_(owner) {}

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = DIID__IVeskMailEvents;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
    if (!container) return E_POINTER;
    *container = owner_;
    if (owner_) owner_->AddRef();
    return owner_ ? S_OK : E_UNEXPECTED;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    ComPtr<IDispatch> events;
    // A compiled sink answers for the event interface; a script host's for
    // IDispatch alone.
    if (FAILED(sink->QueryInterface(DIID__IVeskMailEvents, events.put_void())) &&
        FAILED(sink->QueryInterface(IID_IDispatch, events.put_void()))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    sinks_.push_back({++last_cookie_, std::move(events)});
    *cookie = last_cookie_;
    if (sinks_.size() == 1 && owner_ && owner_->sinks_changed) owner_->sinks_changed(true);
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    const auto found = std::find_if(sinks_.begin(), sinks_.end(), [&](const Sink& s) { return s.cookie == cookie; });
    if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
    sinks_.erase(found);
    if (sinks_.empty() && owner_ && owner_->sinks_changed) owner_->sinks_changed(false);
    return S_OK;
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  struct Sink {
    DWORD cookie;
    ComPtr<IDispatch> events;
  };
  std::vector<Sink> sinks_;
  DWORD last_cookie_ = 0;
  EventSource* owner_;
};

namespace {

class PointEnumerator final : public ComObject<PointEnumerator, IEnumConnectionPoints> {
 public:
  explicit PointEnumerator(IConnectionPoint* point, ULONG at = 0) : point_(point), at_(at) {}
  STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override {
    if (!points || (count != 1 && !fetched)) return E_POINTER;
    ULONG given = 0;
    if (count > 0 && at_ == 0) {
      points[0] = point_.get();
      point_->AddRef();
      given = 1;
      at_ = 1;
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const ULONG skipped = std::min<ULONG>(count, 1 - at_);
    at_ += skipped;
    return skipped == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    at_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumConnectionPoints** result) override { return CreateInstance(result, point_.get(), at_); }

 private:
  ComPtr<IConnectionPoint> point_;
  ULONG at_;
};

LONG ClampToLong(std::uint64_t value) {
  return static_cast<LONG>(std::min<std::uint64_t>(value, std::numeric_limits<LONG>::max()));
}

}  // namespace

EventSource::EventSource() : point_(new Point(this)) { point_->InnerAddRef(); }

EventSource::~EventSource() {
  point_->owner_ = nullptr;
  point_->sinks_.clear();
  point_->InnerRelease();
}

STDMETHODIMP EventSource::EnumConnectionPoints(IEnumConnectionPoints** result) {
  return PointEnumerator::CreateInstance(result, static_cast<IConnectionPoint*>(point_));
}

STDMETHODIMP EventSource::FindConnectionPoint(REFIID riid, IConnectionPoint** result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!IsEqualIID(riid, DIID__IVeskMailEvents)) return CONNECT_E_NOCONNECTION;
  *result = point_;
  point_->AddRef();
  return S_OK;
}

std::vector<ComPtr<IDispatch>> EventSource::Sinks() const {
  // A copy: a sink may disconnect itself (or another) while it is called.
  std::vector<ComPtr<IDispatch>> sinks;
  for (const Point::Sink& sink : point_->sinks_) sinks.push_back(sink.events);
  return sinks;
}

bool EventSource::FireProgress(int operation, std::uint64_t done, std::uint64_t total) {
  VARIANT_BOOL cancel = VARIANT_FALSE;
  for (const ComPtr<IDispatch>& sink : Sinks()) {
    // Arguments go last first.
    VARIANT arguments[4];
    for (VARIANT& argument : arguments) VariantInit(&argument);
    V_VT(&arguments[0]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&arguments[0]) = &cancel;
    V_VT(&arguments[1]) = VT_I4;
    V_I4(&arguments[1]) = ClampToLong(total);
    V_VT(&arguments[2]) = VT_I4;
    V_I4(&arguments[2]) = ClampToLong(done);
    V_VT(&arguments[3]) = VT_I4;
    V_I4(&arguments[3]) = operation;
    DISPPARAMS parameters{arguments, nullptr, 4, 0};
    sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
  }
  return cancel == VARIANT_FALSE;
}

void EventSource::FireMailboxChanged(std::int32_t message_count) {
  for (const ComPtr<IDispatch>& sink : Sinks()) {
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = message_count;
    DISPPARAMS parameters{&argument, nullptr, 1, 0};
    sink->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
  }
}

STDMETHODIMP ClassInfoBase::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = DIID__IVeskMailEvents;
  return S_OK;
}

HRESULT ClassInfoBase::ClassInfoOf(REFCLSID clsid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ComPtr<ITypeLib> library;
  if (HRESULT hr = LoadLibraryTypeLib(library.put()); FAILED(hr)) return hr;
  return library->GetTypeInfoOfGuid(clsid, info);
}

}  // namespace vesk::com
