#include "automation/imap4_object.h"

#include "automation/frame/arrays.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/message_for_sending.h"
#include "automation/retrieved_message.h"
#include "engine/common/error_texts.h"
#include "engine/platform/files.h"

namespace vesk::com {

Imap4Object::Imap4Object() {
  ReportProgressTo(*this, client_.progress);
  client_.set_mailbox_news([this](std::int32_t count) { FireMailboxChanged(count); });
}

STDMETHODIMP Imap4Object::get_MessageCount(LONG* value) { return GetValue(client_.message_count(), value); }
STDMETHODIMP Imap4Object::get_RecentCount(LONG* value) { return GetValue(client_.recent_count(), value); }
STDMETHODIMP Imap4Object::get_FirstUnseen(LONG* value) { return GetValue(client_.first_unseen(), value); }
STDMETHODIMP Imap4Object::get_MailboxName(BSTR* value) {
  return Operation([&] {
    if (!value) return E_POINTER;
    return ToBstr(client_.MailboxNameForClient(), value, CP_UTF8);
  });
}
STDMETHODIMP Imap4Object::put_MailboxName(BSTR value) {
  return Operation([&] {
    client_.SetMailboxNameFromClient(ToNarrow(value, CP_UTF8));
    return S_OK;
  });
}

HRESULT Imap4Object::SearchOutcome(bool succeeded, VARIANT* results) {
  if (results) VariantInit(results);
  if (!succeeded) return Outcome(false);
  // An array that cannot be made fails without a description.
  const HRESULT made = client_.use_uids() ? MakeUnsignedArray(client_.uid_search_results(), results)
                                          : MakeIntegerArray(client_.search_results(), results);
  return FAILED(made) ? E_FAIL : S_OK;
}

// Searches by the calendar day of an automation date; the time of day does
// not count.
HRESULT Imap4Object::SearchDate(SearchByDate search, DATE date, VARIANT* results) {
  return Operation([&] {
    SYSTEMTIME day{};
    if (!VariantTimeToSystemTime(date, &day)) {
      client_.set_last_error(MessageText(kMsgInvalidDate));
      return SearchOutcome(false, results);
    }
    return SearchOutcome((client_.*search)(day.wYear, day.wMonth, day.wDay), results);
  });
}

HRESULT Imap4Object::HandOut(bool fetched, IMIMEMessage** message) {
  if (message) *message = nullptr;
  if (!fetched) return Outcome(false);
  return messages_.Make(page_.get(), client_.message_text(), message);
}

STDMETHODIMP Imap4Object::SelectMailbox(VARIANT_BOOL read_only) {
  return Operation([&] { return Outcome(client_.SelectMailbox(read_only != VARIANT_FALSE)); });
}
STDMETHODIMP Imap4Object::CreateMailbox(BSTR name) {
  return Operation([&] { return Outcome(client_.CreateMailbox(ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::DeleteMailbox(BSTR name) {
  return Operation([&] { return Outcome(client_.DeleteMailbox(ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::RenameMailbox(BSTR old_name, BSTR new_name) {
  return Guarded(
      [&] { return Outcome(client_.RenameMailbox(ToNarrow(old_name, CP_UTF8), ToNarrow(new_name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::GetMailboxesList(VARIANT* list) {
  return Operation([&] {
    if (list) VariantInit(list);
    if (!client_.GetMailboxesList()) return Outcome(false);
    return FAILED(MakeTextArray(client_.mailbox_list(), list, CP_UTF8)) ? E_FAIL : S_OK;
  });
}

// The message's text goes out as the bytes the ANSI code page gives it; the
// literal announces that byte count.
STDMETHODIMP Imap4Object::AppendMessage(BSTR name, IMIMEMessage* message) {
  return Operation([&] {
    if (!message) return E_INVALIDARG;
    return Outcome(client_.AppendMessage(ToNarrow(name, CP_UTF8), BytesForAppending(message)));
  });
}
STDMETHODIMP Imap4Object::DeleteMessage(LONG number) {
  return Operation([&] { return Outcome(client_.DeleteMessage(number)); });
}
STDMETHODIMP Imap4Object::Expunge() {
  return Operation([&] { return Outcome(client_.Expunge()); });
}
STDMETHODIMP Imap4Object::CopyMessage(LONG number, BSTR name) {
  return Operation([&] { return Outcome(client_.CopyMessage(number, ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::Search(BSTR criteria, VARIANT* results) {
  // The criteria go out in UTF-8 (with CHARSET UTF-8 where they need it).
  return Operation([&] { return SearchOutcome(client_.Search(ToNarrow(criteria, CP_UTF8)), results); });
}
STDMETHODIMP Imap4Object::SearchByFlags(LONG flags, VARIANT* results) {
  return Operation([&] { return SearchOutcome(client_.SearchByFlags(flags), results); });
}
STDMETHODIMP Imap4Object::SearchSentOn(DATE date, VARIANT* results) {
  return SearchDate(&ImapClient::SearchSentOn, date, results);
}
STDMETHODIMP Imap4Object::SearchSentBefore(DATE date, VARIANT* results) {
  return SearchDate(&ImapClient::SearchSentBefore, date, results);
}
STDMETHODIMP Imap4Object::SearchSentSince(DATE date, VARIANT* results) {
  return SearchDate(&ImapClient::SearchSentSince, date, results);
}
STDMETHODIMP Imap4Object::Retrieve(LONG number, IMIMEMessage** message) {
  return Operation([&] {
    return HandOut(client_.Retrieve(number), message);
  });
}
STDMETHODIMP Imap4Object::RetrieveHeader(LONG number, IMIMEMessage** message) {
  return Operation([&] {
    return HandOut(client_.RetrieveHeader(number), message);
  });
}
STDMETHODIMP Imap4Object::RetrieveTop(LONG number, LONG bytes, IMIMEMessage** message) {
  return Operation([&] {
    return HandOut(client_.RetrieveTop(number, bytes), message);
  });
}
STDMETHODIMP Imap4Object::GetMessageSize(LONG number, LONG* size) {
  return Operation([&] {
    if (!client_.GetMessageSize(number)) return Outcome(false);
    return GetValue(client_.last_size(), size);
  });
}
STDMETHODIMP Imap4Object::GetMessageFlags(LONG number, LONG* flags) {
  return Operation([&] {
    if (flags) *flags = 0;
    int32_t found = 0;
    if (!client_.GetMessageFlags(number, found)) return Outcome(false);
    return GetValue(found, flags);
  });
}
STDMETHODIMP Imap4Object::PutMessageFlags(LONG number, LONG flags) {
  return Operation([&] { return Outcome(client_.PutMessageFlags(number, flags)); });
}
STDMETHODIMP Imap4Object::UpdateStatus() {
  return Operation([&] { return Outcome(client_.UpdateStatus()); });
}

// ---- Working through a mailbox -------------------------------------------------

STDMETHODIMP Imap4Object::get_UseUIDs(VARIANT_BOOL* value) {
  return GetValue(ToVariantBool(client_.use_uids()), value);
}
STDMETHODIMP Imap4Object::put_UseUIDs(VARIANT_BOOL value) {
  client_.set_use_uids(value != VARIANT_FALSE);
  if (client_.use_uids()) client_.want_uid_next();
  return S_OK;
}
// UIDs take all 32 bits: they cross as doubles, which hold every one of them
// exactly (a Long would show the upper half as negative numbers).
STDMETHODIMP Imap4Object::get_UIDValidity(double* value) {
  return GetValue(static_cast<double>(client_.uid_validity()), value);
}
STDMETHODIMP Imap4Object::get_UIDNext(double* value) {
  client_.want_uid_next();
  return GetValue(static_cast<double>(client_.uid_next()), value);
}

// A message argument of the new members: a whole number, given as any
// numeric type or as text, from 1 to the largest UID (by UID) or the largest
// Long (by number); handed on with its 32 bits.
bool Imap4Object::MessageArgument(const VARIANT& message, int32_t& argument) {
  const double largest = client_.use_uids() ? 4294967295.0 : 2147483647.0;
  VARIANT number;
  VariantInit(&number);
  const VARIANT* given = &message;
  if (message.vt == (VT_BYREF | VT_VARIANT) && message.pvarVal != nullptr) given = message.pvarVal;
  const bool converted = SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(given), 0, VT_R8));
  const double value = converted ? number.dblVal : 0;
  VariantClear(&number);
  if (!converted || value < 1 || value > largest || value != static_cast<double>(static_cast<int64_t>(value))) {
    client_.set_last_error(
        FormatMessageText(kMsgInvalidMessageArgument, client_.use_uids() ? "4294967295" : "2147483647"));
    return false;
  }
  argument = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

STDMETHODIMP Imap4Object::MoveMessage(VARIANT message, BSTR name) {
  return Operation([&] {
    int32_t argument = 0;
    return Outcome(MessageArgument(message, argument) && client_.MoveMessage(argument, ToNarrow(name, CP_UTF8)));
  });
}

STDMETHODIMP Imap4Object::SpecialMailbox(BSTR role, BSTR* name) {
  return Operation([&] {
    if (!name) return E_POINTER;
    *name = nullptr;
    std::string found;
    if (!client_.FindSpecialMailbox(ToNarrow(role), found)) return Outcome(false);
    return ToBstr(found, name, CP_UTF8);
  });
}

STDMETHODIMP Imap4Object::WaitForChange(LONG seconds, VARIANT_BOOL* changed) {
  return Operation([&] {
    if (!changed) return E_POINTER;
    *changed = VARIANT_FALSE;
    bool found = false;
    if (!client_.WaitForChange(seconds, found)) return Outcome(false);
    *changed = ToVariantBool(found);
    return S_OK;
  });
}

STDMETHODIMP Imap4Object::GetMessageParts(VARIANT message, VARIANT* parts) {
  return Operation([&] {
    if (!parts) return E_POINTER;
    VariantInit(parts);
    int32_t argument = 0;
    if (!MessageArgument(message, argument) || !client_.FetchStructure(argument)) return Outcome(false);
    std::vector<std::string> sections;
    for (const ImapBodyPart& part : client_.message_parts()) sections.push_back(part.section);
    return FAILED(MakeTextArray(sections, parts)) ? E_FAIL : S_OK;
  });
}

// A part of the structure GetMessageParts read last.
const ImapBodyPart* Imap4Object::ListedPart(BSTR part) {
  const std::string section = ToNarrow(part);
  for (const ImapBodyPart& listed : client_.message_parts()) {
    if (listed.section == section) return &listed;
  }
  client_.set_last_error(FormatMessageText(kMsgNoSuchPart, section.substr(0, 64).c_str()));
  return nullptr;
}

STDMETHODIMP Imap4Object::PartContentType(BSTR part, BSTR* value) {
  return Operation([&] {
    if (!value) return E_POINTER;
    *value = nullptr;
    const ImapBodyPart* listed = ListedPart(part);
    return listed ? ToBstr(listed->MediaType(), value) : Outcome(false);
  });
}
STDMETHODIMP Imap4Object::PartFileName(BSTR part, BSTR* value) {
  return Operation([&] {
    if (!value) return E_POINTER;
    *value = nullptr;
    const ImapBodyPart* listed = ListedPart(part);
    return listed ? ToBstr(listed->file_name, value, CP_UTF8) : Outcome(false);
  });
}
STDMETHODIMP Imap4Object::PartSize(BSTR part, LONG* value) {
  return Operation([&] {
    if (!value) return E_POINTER;
    *value = 0;
    const ImapBodyPart* listed = ListedPart(part);
    if (!listed) return Outcome(false);
    *value = static_cast<LONG>(std::min<uint64_t>(listed->size, 0x7FFFFFFF));
    return S_OK;
  });
}
STDMETHODIMP Imap4Object::PartEncoding(BSTR part, BSTR* value) {
  return Operation([&] {
    if (!value) return E_POINTER;
    *value = nullptr;
    const ImapBodyPart* listed = ListedPart(part);
    return listed ? ToBstr(listed->encoding, value) : Outcome(false);
  });
}

HRESULT Imap4Object::FetchPart(const VARIANT& message, BSTR part, std::string& content, ImapBodyPart& described) {
  int32_t argument = 0;
  return Outcome(MessageArgument(message, argument) &&
                 client_.FetchPart(argument, ToNarrow(part), content, described));
}

// The decoded bytes, written whole or not at all.
STDMETHODIMP Imap4Object::SavePart(VARIANT message, BSTR part, BSTR file_name) {
  return Operation([&] {
    std::string content;
    ImapBodyPart described;
    const HRESULT fetched = FetchPart(message, part, content, described);
    if (FAILED(fetched)) return fetched;
    // File names cross as UTF-8 to the wide file functions, in every mode.
    const std::string path = ToNarrow(file_name, CP_UTF8);
    if (path.empty() || !files::WriteWholeFile(path, content.data(), content.size())) {
      client_.set_last_error(FormatMessageText(kMsgCannotWriteFile, path.c_str()));
      return Outcome(false);
    }
    return S_OK;
  });
}

// Text in the part's charset; without one, in the ANSI code page.
STDMETHODIMP Imap4Object::GetPartText(VARIANT message, BSTR part, BSTR* text) {
  return Operation([&] {
    if (!text) return E_POINTER;
    *text = nullptr;
    std::string content;
    ImapBodyPart described;
    const HRESULT fetched = FetchPart(message, part, content, described);
    if (FAILED(fetched)) return fetched;
    return CharsetTextToBstr(content, described.charset, text);
  });
}

STDMETHODIMP Imap4Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Imap4Object::OnEndPage() { return page_.OnEndPage(); }

}  // namespace vesk::com
