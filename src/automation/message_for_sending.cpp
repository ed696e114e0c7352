#include "automation/message_for_sending.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/strings.h"
#include "automation/local_dates.h"
#include "automation/message_model.h"
#include "automation/text_modes.h"
#include "engine/common/error_texts.h"
#include "engine/mime/mail_dates.h"
#include "engine/mime/mime_reader.h"
#include "engine/streams/string_stream.h"

namespace vesk::com {
namespace {

// The Address of every item of one of a foreign message's address
// collections, in order, as UTF-8. A collection the message cannot give
// counts as empty.
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
    recipients.push_back(ToNarrow(address.get(), CP_UTF8));
  }
  return true;
}

bool ForeignEnvelope(IMIMEMessage* message, BSTR to, BSTR from, Envelope& envelope) {
  envelope.sender = ToNarrow(from, CP_UTF8);
  if (envelope.sender.empty()) {
    ComPtr<IMailAddress> from_address;
    Bstr address;
    if (SUCCEEDED(message->get_From(from_address.put())) && from_address &&
        SUCCEEDED(from_address->get_Address(address.put()))) {
      envelope.sender = ToNarrow(address.get(), CP_UTF8);
    }
  }
  const std::string single = ToNarrow(to, CP_UTF8);
  if (!single.empty()) {
    envelope.recipients.push_back(single);
    return true;
  }
  using Getter = HRESULT (STDMETHODCALLTYPE IMIMEMessage::*)(IMailAddresses**);
  for (Getter getter : {&IMIMEMessage::get_To, &IMIMEMessage::get_Cc, &IMIMEMessage::get_Bcc}) {
    ComPtr<IMailAddresses> collection;
    (message->*getter)(collection.put());
    if (!AppendAddresses(collection.get(), envelope.recipients)) return false;
  }
  return true;
}

// RFC 5322 section 3.6 for a foreign message, through its members.
HRESULT AddForeignOriginationFields(IMIMEMessage* message, const std::function<std::string()>& domain) {
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
    if (HRESULT hr = ToBstr(NewMessageId(domain()), fresh.put()); FAILED(hr)) return hr;
    return message->put_MessageID(fresh.get());
  }
  return S_OK;
}

// A message object of another implementation, read into this library's
// model, so that what goes out of it is made by the one writer as for a
// message of our own. Its RawMessage is taken back to bytes through the code
// page it was made in (UTF-8 for a message in the Unicode mode, else the ANSI
// code page), and the model gets the same mode. Null when it cannot give its
// text (a rendering is never empty: it ends its header block at least).
Ref<MessageEntity> ReadForeignMessage(IMIMEMessage* message) {
  Bstr raw;
  if (FAILED(message->get_RawMessage(raw.put()))) return nullptr;
  ComPtr<IMIMEMessageEx> extended;
  Bstr charset;
  const bool utf8 = SUCCEEDED(message->QueryInterface(IID_IMIMEMessageEx, extended.put_void())) &&
                    SUCCEEDED(extended->get_Charset(charset.put())) && charset.length() != 0;
  Ref<MessageEntity> model = MakeRef<MessageEntity>(TextModeOfCodePage(utf8 ? CP_UTF8 : CP_ACP));
  StringStream in(ToNarrow(raw.get(), utf8 ? CP_UTF8 : CP_ACP));
  ReadMessage(in, *model);
  return model;
}

// The model of the message that goes out, with Date and Message-ID added
// where it has none (`domain` is asked only for a new identifier): our own
// message's model, or another implementation's message read into one after
// the fields were added through its members; `foreign` is then that message.
// Null when the object is no message or cannot give its text.
Ref<MessageEntity> OutgoingModel(IDispatch* object, const std::function<std::string()>& domain,
                                 ComPtr<IMIMEMessage>& foreign) {
  if (!object) return nullptr;
  if (const Ref<MessageEntity> model = OwnMessageModel(object)) {
    AddOriginationFields(*model, MailDateNow, domain);
    return model;
  }
  if (FAILED(object->QueryInterface(IID_IMIMEMessage, foreign.put_void())) || !foreign) return nullptr;
  if (FAILED(AddForeignOriginationFields(foreign.get(), domain))) return nullptr;
  return ReadForeignMessage(foreign.get());
}

}  // namespace

bool PrepareForSending(IDispatch* object, BSTR to, BSTR from, const std::function<std::string()>& domain,
                       bool eight_bit_text, MessageForSending& result, std::string& error) {
  error = MessageText(kMsgInvalidMessageObject);
  ComPtr<IMIMEMessage> foreign;
  const Ref<MessageEntity> model = OutgoingModel(object, domain, foreign);
  if (!model) return false;
  if (foreign) {
    // The envelope comes from the object's own collections: its RawMessage
    // may leave the blind copies out.
    if (!ForeignEnvelope(foreign.get(), to, from, result.envelope)) {
      error = MessageText(kMsgRcptRejected);
      return false;
    }
  } else {
    // The envelope is UTF-8 whatever the message's mode (the SMTP client
    // decides how an address outside ASCII goes): the arguments cross
    // without the ANSI code page, and the message's own addresses, kept in
    // the code page of its mode, are made UTF-8.
    const std::string to_text = ToNarrow(to, CP_UTF8), from_text = ToNarrow(from, CP_UTF8);
    result.envelope = CollectEnvelope(*model, to_text, from_text);
    if (!model->text_mode().narrow_is_utf8()) {
      if (from_text.empty()) result.envelope.sender = AnsiToUtf8(result.envelope.sender);
      if (to_text.empty()) {
        for (std::string& recipient : result.envelope.recipients) recipient = AnsiToUtf8(recipient);
      }
    }
  }
  result.bytes = TransmittedBytes(*model, eight_bit_text);
  return true;
}

bool BytesForHandingOver(IDispatch* object, const std::function<std::string()>& domain, std::string& bytes) {
  ComPtr<IMIMEMessage> foreign;
  const Ref<MessageEntity> model = OutgoingModel(object, domain, foreign);
  if (!model) return false;
  bytes = RenderedBytes(*model);
  return true;
}

std::string BytesForAppending(IMIMEMessage* message) {
  Ref<MessageEntity> model = OwnMessageModel(message);
  if (!model) model = ReadForeignMessage(message);
  return model ? RenderedBytes(*model) : std::string();
}

}  // namespace vesk::com
