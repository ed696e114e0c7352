#include "automation/smtp_object.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/host_domain.h"
#include "automation/message_for_sending.h"
#include "automation/retrieved_message.h"

namespace vesk::com {

STDMETHODIMP SmtpObject::get_Port(short* value) { return GetValue(client_.port(), value); }
STDMETHODIMP SmtpObject::put_Port(short value) {
  client_.set_port(value);
  return S_OK;
}
STDMETHODIMP SmtpObject::get_Host(BSTR* value) { return GetText(client_.host(), value); }
STDMETHODIMP SmtpObject::put_Host(BSTR value) {
  return Guarded([&] {
    client_.set_host(ToNarrow(value));
    return S_OK;
  });
}
STDMETHODIMP SmtpObject::get_TimeOut(LONG* value) { return GetValue(client_.timeout_ms(), value); }
STDMETHODIMP SmtpObject::put_TimeOut(LONG value) {
  client_.set_timeout_ms(value);
  return S_OK;
}

STDMETHODIMP SmtpObject::get_User(BSTR* value) { return GetText(client_.credentials().user, value); }
STDMETHODIMP SmtpObject::put_User(BSTR value) { return SetSecret(client_.credentials().user, value); }
STDMETHODIMP SmtpObject::get_Password(BSTR* value) { return GetText(client_.credentials().password, value); }
STDMETHODIMP SmtpObject::put_Password(BSTR value) { return SetSecret(client_.credentials().password, value); }

HRESULT SmtpObject::Failure() { return ProtocolFailure(CLSID_VeskSMTP, client_.last_error()); }

STDMETHODIMP SmtpObject::Connect() {
  return Guarded([&] { return client_.Connect() ? S_OK : Failure(); });
}

STDMETHODIMP SmtpObject::Disconnect() {
  return Guarded([&] { return client_.Disconnect() ? S_OK : Failure(); });
}

// Asked once per object: the call is slow, and the name does not change
// while the object sends.
const std::string& SmtpObject::HostDomain() {
  if (!host_domain_known_) {
    if (std::optional<std::string> domain = AskHostDomain()) {
      host_domain_ = std::move(*domain);
      host_domain_known_ = true;
    }
  }
  return host_domain_;
}

STDMETHODIMP SmtpObject::Send(IDispatch* message_object, BSTR to, BSTR from) {
  return Guarded([&] {
    MessageForSending outgoing;
    std::string error;
    if (!PrepareForSending(message_object, to, from, [this] { return HostDomain(); }, outgoing, error)) {
      client_.set_last_error(error);
      return Failure();
    }
    const Envelope& envelope = outgoing.envelope;
    return client_.Send(envelope.sender, envelope.recipients, outgoing.bytes, outgoing.form) ? S_OK : Failure();
  });
}

}  // namespace vesk::com
