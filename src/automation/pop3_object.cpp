#include "automation/pop3_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/retrieved_message.h"

namespace vesk::com {

STDMETHODIMP Pop3Object::get_User(BSTR* value) { return GetText(client_.user(), value); }
STDMETHODIMP Pop3Object::put_User(BSTR value) {
  return Guarded([&] {
    client_.set_user(ToNarrow(value));
    return S_OK;
  });
}
STDMETHODIMP Pop3Object::get_Password(BSTR* value) { return GetText(client_.password(), value); }
STDMETHODIMP Pop3Object::put_Password(BSTR value) { return SetSecret(client_.credentials().password, value); }
STDMETHODIMP Pop3Object::get_Host(BSTR* value) { return GetText(client_.host(), value); }
STDMETHODIMP Pop3Object::put_Host(BSTR value) {
  return Guarded([&] {
    client_.set_host(ToNarrow(value));
    return S_OK;
  });
}
STDMETHODIMP Pop3Object::get_Port(short* value) { return GetValue(client_.port(), value); }
STDMETHODIMP Pop3Object::put_Port(short value) {
  client_.set_port(value);
  return S_OK;
}
STDMETHODIMP Pop3Object::get_MessageCount(short* value) { return GetValue(client_.message_count(), value); }
STDMETHODIMP Pop3Object::get_TimeOut(LONG* value) { return GetValue(client_.timeout_ms(), value); }
STDMETHODIMP Pop3Object::put_TimeOut(LONG value) {
  client_.set_timeout_ms(value);
  return S_OK;
}

HRESULT Pop3Object::Outcome(bool succeeded) {
  return succeeded ? S_OK : ProtocolFailure(CLSID_VeskPOP3, client_.last_error());
}

// The retrieved text becomes a new message object owned by the caller.
HRESULT Pop3Object::HandOut(IDispatch** message) {
  if (!message) return E_INVALIDARG;
  IMIMEMessage* made = nullptr;
  const HRESULT hr = messages_.Make(page_.get(), client_.retrieved_text(), &made);
  *message = made;
  return hr;
}

STDMETHODIMP Pop3Object::Connect() {
  return Guarded([&] {
    const HRESULT token = TakeTokenFromOAuth2(CLSID_VeskPOP3);
    return FAILED(token) ? token : Outcome(client_.Connect());
  });
}
STDMETHODIMP Pop3Object::Disconnect() {
  return Guarded([&] { return Outcome(client_.Disconnect()); });
}
STDMETHODIMP Pop3Object::GetMessageSize(short number, LONG* size) {
  return Guarded([&] {
    int32_t found = 0;
    const bool succeeded = client_.GetMessageSize(number, found);
    if (size) *size = succeeded ? found : 0;
    return Outcome(succeeded);
  });
}
STDMETHODIMP Pop3Object::Retrieve(short number, IDispatch** message) {
  return Guarded([&] {
    if (message) *message = nullptr;
    if (!client_.Retrieve(number)) return Outcome(false);
    return HandOut(message);
  });
}
STDMETHODIMP Pop3Object::RetrieveTop(short number, short lines, IDispatch** message) {
  return Guarded([&] {
    if (message) *message = nullptr;
    if (!client_.RetrieveTop(number, lines)) return Outcome(false);
    return HandOut(message);
  });
}
STDMETHODIMP Pop3Object::Delete(short number) {
  return Guarded([&] { return Outcome(client_.Delete(number)); });
}
STDMETHODIMP Pop3Object::Reset() {
  return Guarded([&] { return Outcome(client_.Reset()); });
}

STDMETHODIMP Pop3Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Pop3Object::OnEndPage() { return page_.OnEndPage(); }

}  // namespace vesk::com
