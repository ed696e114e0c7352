#include "engine/mime/outgoing_message.h"

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/mail_dates.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/write_options.h"
#include "engine/streams/string_stream.h"

namespace vesk {
namespace {

// The list bound to a field, or a list made from the field's text for the
// moment (so that looking does not add the field).
Ref<AddressList> AddressesOf(MessageEntity& message, std::string_view field) {
  if (Ref<AddressList> bound = message.FindAddressList(field, false)) return bound;
  std::string text;
  message.headers()->Get(field, text);
  return MakeRef<AddressList>(std::move(text));
}

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

}  // namespace

bool WriteOptions::Hides(std::string_view field_name) const {
  for (const std::string& hidden : hidden_fields) {
    if (EqualsIgnoringAsciiCase(hidden, field_name)) return true;
  }
  return false;
}

Envelope CollectEnvelope(MessageEntity& message, std::string_view to, std::string_view from) {
  Envelope envelope;
  envelope.sender = from;
  if (envelope.sender.empty()) {
    const Ref<AddressList> senders = AddressesOf(message, "From");
    if (senders->Count() != 0) envelope.sender = senders->Item(0)->Address();
  }
  if (!to.empty()) {
    envelope.recipients.emplace_back(to);
    return envelope;
  }
  for (const std::string_view field : {"To", "Cc", "Bcc"}) {
    const Ref<AddressList> list = AddressesOf(message, field);
    for (size_t i = 0; i < list->Count(); ++i) envelope.recipients.push_back(list->Item(i)->Address());
  }
  return envelope;
}

namespace {

// An address with CR, LF or NUL is left to the client, which refuses such
// text in any command with the words of that command.
bool FitsCommand(std::string_view address) {
  if (address.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return true;
  for (const char c : address) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '<' || c == '>') return false;
  }
  return true;
}

}  // namespace

bool CheckEnvelope(const Envelope& envelope, std::string& error) {
  if (envelope.sender.empty()) {
    error = MessageText(kMsgNoSender);
    return false;
  }
  if (envelope.recipients.empty()) {
    error = MessageText(kMsgNoRecipients);
    return false;
  }
  const std::string* unfit = FitsCommand(envelope.sender) ? nullptr : &envelope.sender;
  for (size_t i = 0; !unfit && i < envelope.recipients.size(); ++i) {
    if (!FitsCommand(envelope.recipients[i])) unfit = &envelope.recipients[i];
  }
  if (unfit) {
    error = FormatMessageText(kMsgAddressNotForCommand, unfit->c_str());
    return false;
  }
  return true;
}

void AddOriginationFields(MessageEntity& message, const std::function<std::string()>& now,
                          const std::function<std::string()>& domain) {
  FieldList& headers = *message.headers();
  std::string value;
  if (!headers.Get("Date", value) || IsBlank(value)) headers.Set("Date", now());
  if (!headers.Get("Message-ID", value) || IsBlank(value)) headers.Set("Message-ID", NewMessageId(domain()));
}

std::string TransmittedBytes(MessageEntity& message, bool eight_bit_text) {
  StringStream out;
  WriteMessage(out, message, WriteOptions::Transmission(eight_bit_text));
  return out.TakeText();
}

std::string RenderedBytes(MessageEntity& message) {
  StringStream out;
  WriteMessage(out, message);
  return out.TakeText();
}

}  // namespace vesk
