#include "automation/smtp_object.h"

#include "automation/frame/arrays.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/host_domain.h"
#include "automation/message_for_sending.h"

namespace vesk::com {

// The engine's texts are UTF-8: they may name an international address.
HRESULT SmtpObject::Failure() {
  last_error_number_ = MessageIdOfText(client_.last_error());
  ReportError(CLSID_VeskSMTP, client_.last_error(), GUID_NULL, E_FAIL, CP_UTF8);
  return E_FAIL;
}

// The members for the extensions of a transaction (smtp_extensions.h).
STDMETHODIMP SmtpObject::get_UseExtensions(VARIANT_BOOL* value) {
  return GetValue(ToVariantBool(client_.send_options().use_extensions), value);
}
STDMETHODIMP SmtpObject::put_UseExtensions(VARIANT_BOOL value) {
  client_.send_options().use_extensions = value != VARIANT_FALSE;
  return S_OK;
}
STDMETHODIMP SmtpObject::get_DeliveryNotify(LONG* value) { return GetValue(client_.send_options().notify, value); }
STDMETHODIMP SmtpObject::put_DeliveryNotify(LONG value) {
  if (!IsValidDeliveryNotify(value)) {
    return ReportError(CLSID_VeskSMTP, MessageText(kMsgInvalidDeliveryNotify), GUID_NULL, E_INVALIDARG);
  }
  client_.send_options().notify = value;
  return S_OK;
}
STDMETHODIMP SmtpObject::get_DeliveryReturn(DELIVERY_RETURN* value) {
  return GetValue(static_cast<DELIVERY_RETURN>(client_.send_options().report_return), value);
}
STDMETHODIMP SmtpObject::put_DeliveryReturn(DELIVERY_RETURN value) {
  if (value < DELIVERY_RETURN_DEFAULT || value > DELIVERY_RETURN_HEADERS) return E_INVALIDARG;
  client_.send_options().report_return = static_cast<DeliveryReturn>(value);
  return S_OK;
}
STDMETHODIMP SmtpObject::get_EnvelopeID(BSTR* value) { return GetText(client_.send_options().envelope_id, value); }
STDMETHODIMP SmtpObject::put_EnvelopeID(BSTR value) {
  return Guarded([&] {
    std::string id = ToNarrow(value, CP_UTF8);
    if (!IsValidEnvelopeId(id)) {
      return ReportError(CLSID_VeskSMTP, MessageText(kMsgInvalidEnvelopeId), GUID_NULL, E_INVALIDARG);
    }
    client_.send_options().envelope_id = std::move(id);
    return S_OK;
  });
}
STDMETHODIMP SmtpObject::get_AllowPartialDelivery(VARIANT_BOOL* value) {
  return GetValue(ToVariantBool(client_.send_options().allow_partial_delivery), value);
}
STDMETHODIMP SmtpObject::put_AllowPartialDelivery(VARIANT_BOOL value) {
  client_.send_options().allow_partial_delivery = value != VARIANT_FALSE;
  return S_OK;
}
STDMETHODIMP SmtpObject::get_RefusedRecipients(VARIANT* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    std::vector<std::string> addresses;
    for (const RefusedRecipient& refused : client_.refused_recipients()) addresses.push_back(refused.address);
    return MakeTextArray(addresses, value, CP_UTF8);
  });
}
STDMETHODIMP SmtpObject::get_RefusedReplies(VARIANT* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    std::vector<std::string> replies;
    for (const RefusedRecipient& refused : client_.refused_recipients()) replies.push_back(refused.reply);
    return MakeTextArray(replies, value, CP_UTF8);
  });
}
STDMETHODIMP SmtpObject::get_Pipelining(VARIANT_BOOL* value) {
  return GetValue(ToVariantBool(client_.send_options().pipelining), value);
}
STDMETHODIMP SmtpObject::put_Pipelining(VARIANT_BOOL value) {
  client_.send_options().pipelining = value != VARIANT_FALSE;
  return S_OK;
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

SmtpObject::SmtpObject() { ReportProgressTo(*this, client_.progress); }

STDMETHODIMP SmtpObject::Send(IDispatch* message_object, BSTR to, BSTR from) {
  return Operation([&] {
    MessageForSending outgoing;
    std::string error;
    // RFC 6152: text with 8-bit bytes needs no encoding for a server that
    // listed 8BITMIME (the client then says BODY=8BITMIME).
    const bool eight_bit = client_.server_extensions().eight_bit_mime;
    if (!PrepareForSending(message_object, to, from, [this] { return HostDomain(); }, eight_bit, outgoing, error)) {
      client_.set_last_error(error);
      return Failure();
    }
    const Envelope& envelope = outgoing.envelope;
    if (!CheckEnvelope(envelope, error)) {
      client_.set_last_error(error);
      return Failure();
    }
    return client_.Send(envelope.sender, envelope.recipients, outgoing.bytes) ? S_OK : Failure();
  });
}

}  // namespace vesk::com
