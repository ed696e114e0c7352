#include "automation/smtp_object.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/host_domain.h"
#include "automation/retrieved_message.h"
#include "engine/common/messages.h"
#include "engine/mime/mail_dates.h"

namespace vesk::com {

HRESULT SmtpObject::Failure() { return Outcome(false); }

namespace {

// The Address of every item of one of the message's address collections, in
// order. A collection the message cannot give counts as empty.
bool AppendAddresses(IMailAddresses* collection, std::vector<std::string>& recipients) {
  if (!collection) return true;
  LONG count = 0;
  if (FAILED(collection->get_Count(&count))) return false;
  for (LONG i = 1; i <= count; ++i) {
    ComPtr<IMailAddress> item;
    Bstr address;
    if (FAILED(collection->get_Item(i, item.put())) || !item || FAILED(item->get_Address(address.put()))) {
      return false;
    }
    recipients.push_back(ToNarrow(address.get()));
  }
  return true;
}

}  // namespace

// Sender and recipients: the arguments when given, else the message's From
// address and its To, Cc and Bcc addresses in that order (duplicates kept).
HRESULT SmtpObject::CollectEnvelope(IMIMEMessage* message, BSTR to, BSTR from, std::string& sender,
                                    std::vector<std::string>& recipients) {
  sender = ToNarrow(from);
  if (sender.empty()) {
    ComPtr<IMailAddress> from_address;
    Bstr address;
    if (SUCCEEDED(message->get_From(from_address.put())) && from_address &&
        SUCCEEDED(from_address->get_Address(address.put()))) {
      sender = ToNarrow(address.get());
    }
  }
  const std::string single = ToNarrow(to);
  if (!single.empty()) {
    recipients.push_back(single);  // used whole, as one address
    return S_OK;
  }
  using Getter = HRESULT (STDMETHODCALLTYPE IMIMEMessage::*)(IMailAddresses**);
  for (Getter getter : {&IMIMEMessage::get_To, &IMIMEMessage::get_Cc, &IMIMEMessage::get_Bcc}) {
    ComPtr<IMailAddresses> collection;
    (message->*getter)(collection.put());
    if (!AppendAddresses(collection.get(), recipients)) {
      client_.set_last_error(MessageText(kMsgRcptRejected));
      return E_FAIL;
    }
  }
  return S_OK;
}

namespace {

// RFC 5322 section 3.6: a message goes out with an origination date and an
// identifier. They are added to the message itself, so that a copy saved or
// appended after sending holds the same fields.
template <class DomainSource>
HRESULT AddDateAndIdentifier(IMIMEMessage* message, DomainSource&& host_domain) {
  Variant date;
  if (HRESULT hr = message->get_Date(date.get()); FAILED(hr)) return hr;
  if (V_VT(date.get()) == VT_BSTR && SysStringLen(V_BSTR(date.get())) == 0) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    Variant value;
    V_VT(value.get()) = VT_DATE;
    if (!SystemTimeToVariantTime(&now, &V_DATE(value.get()))) return E_FAIL;
    if (HRESULT hr = message->put_Date(*value.get()); FAILED(hr)) return hr;
  }
  Bstr id;
  if (HRESULT hr = message->get_MessageID(id.put()); FAILED(hr)) return hr;
  if (id.length() == 0) {
    Bstr fresh;
    if (HRESULT hr = ToBstr(NewMessageId(host_domain()), fresh.put()); FAILED(hr)) return hr;
    return message->put_MessageID(fresh.get());
  }
  return S_OK;
}

}  // namespace

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
    client_.set_last_error(MessageText(kMsgInvalidMessageObject));
    ComPtr<IMIMEMessage> message;
    if (!message_object || FAILED(message_object->QueryInterface(IID_IMIMEMessage, message.put_void()))) {
      return Failure();
    }
    std::string sender;
    std::vector<std::string> recipients;
    if (FAILED(CollectEnvelope(message.get(), to, from, sender, recipients))) return Failure();
    if (FAILED(AddDateAndIdentifier(message.get(), [this] { return HostDomain(); }))) return Failure();
    // The text goes out as the bytes RawMessage was made from.
    const std::string raw = RawMessageBytes(message.get());
    if (raw.empty()) return Failure();
    return client_.Send(sender, recipients, raw) ? S_OK : Failure();
  });
}

}  // namespace vesk::com
