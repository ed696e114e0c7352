#include "automation/pop3_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/retrieved_message.h"

namespace vesk::com {

Pop3Object::Pop3Object() { ReportProgressTo(*this, client_.progress); }

STDMETHODIMP Pop3Object::get_MessageCount(short* value) { return GetValue(client_.message_count(), value); }
// The retrieved text becomes a new message object owned by the caller.
HRESULT Pop3Object::HandOut(IDispatch** message) {
  if (!message) return E_INVALIDARG;
  IMIMEMessage* made = nullptr;
  const HRESULT hr = messages_.Make(page_.get(), client_.retrieved_text(), &made);
  *message = made;
  return hr;
}

STDMETHODIMP Pop3Object::GetMessageSize(short number, LONG* size) {
  return Operation([&] {
    int32_t found = 0;
    const bool succeeded = client_.GetMessageSize(number, found);
    if (size) *size = succeeded ? found : 0;
    return Outcome(succeeded);
  });
}
STDMETHODIMP Pop3Object::Retrieve(short number, IDispatch** message) {
  return Operation([&] {
    if (message) *message = nullptr;
    if (!client_.Retrieve(number)) return Outcome(false);
    return HandOut(message);
  });
}
STDMETHODIMP Pop3Object::RetrieveTop(short number, short lines, IDispatch** message) {
  return Operation([&] {
    if (message) *message = nullptr;
    if (!client_.RetrieveTop(number, lines)) return Outcome(false);
    return HandOut(message);
  });
}
STDMETHODIMP Pop3Object::Delete(short number) {
  return Operation([&] { return Outcome(client_.Delete(number)); });
}
STDMETHODIMP Pop3Object::Reset() {
  return Operation([&] { return Outcome(client_.Reset()); });
}

STDMETHODIMP Pop3Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Pop3Object::OnEndPage() { return page_.OnEndPage(); }

STDMETHODIMP Pop3Object::GetMessageUID(short number, BSTR* uid) {
  return Operation([&] {
    if (!uid) return E_POINTER;
    *uid = nullptr;
    std::string found;
    if (!client_.GetMessageUid(number, found)) return Outcome(false);
    return ToBstr(found, uid);
  });
}

STDMETHODIMP Pop3Object::FindMessageByUID(BSTR uid, short* number) {
  return Operation([&] {
    if (!number) return E_POINTER;
    *number = 0;
    int16_t found = 0;
    if (!client_.FindMessageByUid(ToNarrow(uid), found)) return Outcome(false);
    *number = found;
    return S_OK;
  });
}

}  // namespace vesk::com
