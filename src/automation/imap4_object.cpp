#include "automation/imap4_object.h"

#include "automation/frame/arrays.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/retrieved_message.h"
#include "engine/common/messages.h"

namespace vesk::com {

STDMETHODIMP Imap4Object::get_MessageCount(LONG* value) { return GetValue(client_.message_count, value); }
STDMETHODIMP Imap4Object::get_RecentCount(LONG* value) { return GetValue(client_.recent_count, value); }
STDMETHODIMP Imap4Object::get_FirstUnseen(LONG* value) { return GetValue(client_.first_unseen, value); }
STDMETHODIMP Imap4Object::get_MailboxName(BSTR* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    return ToBstr(client_.MailboxNameForClient(), value, CP_UTF8);
  });
}
STDMETHODIMP Imap4Object::put_MailboxName(BSTR value) {
  return Guarded([&] {
    client_.SetMailboxNameFromClient(ToNarrow(value, CP_UTF8));
    return S_OK;
  });
}

HRESULT Imap4Object::SearchOutcome(bool succeeded, VARIANT* results) {
  if (results) VariantInit(results);
  if (!succeeded) return Outcome(false);
  // An array that cannot be made fails without a description.
  return FAILED(MakeIntegerArray(client_.search_results, results)) ? E_FAIL : S_OK;
}

// Searches by the calendar day of an automation date; the time of day does
// not count.
HRESULT Imap4Object::SearchDate(SearchByDate search, DATE date, VARIANT* results) {
  return Guarded([&] {
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
  return messages_.Make(page_.get(), client_.message_text, message);
}

STDMETHODIMP Imap4Object::SelectMailbox(VARIANT_BOOL read_only) {
  return Guarded([&] { return Outcome(client_.SelectMailbox(read_only != VARIANT_FALSE)); });
}
STDMETHODIMP Imap4Object::CreateMailbox(BSTR name) {
  return Guarded([&] { return Outcome(client_.CreateMailbox(ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::DeleteMailbox(BSTR name) {
  return Guarded([&] { return Outcome(client_.DeleteMailbox(ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::RenameMailbox(BSTR old_name, BSTR new_name) {
  return Guarded(
      [&] { return Outcome(client_.RenameMailbox(ToNarrow(old_name, CP_UTF8), ToNarrow(new_name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::GetMailboxesList(VARIANT* list) {
  return Guarded([&] {
    if (list) VariantInit(list);
    if (!client_.GetMailboxesList()) return Outcome(false);
    return FAILED(MakeTextArray(client_.mailbox_list, list, CP_UTF8)) ? E_FAIL : S_OK;
  });
}

// The message's text goes out as the bytes the ANSI code page gives it; the
// literal announces that byte count.
STDMETHODIMP Imap4Object::AppendMessage(BSTR name, IMIMEMessage* message) {
  return Guarded([&] {
    if (!message) return E_INVALIDARG;
    return Outcome(client_.AppendMessage(ToNarrow(name, CP_UTF8), RawMessageBytes(message)));
  });
}
STDMETHODIMP Imap4Object::DeleteMessage(LONG number) {
  return Guarded([&] { return Outcome(client_.DeleteMessage(number)); });
}
STDMETHODIMP Imap4Object::Expunge() {
  return Guarded([&] { return Outcome(client_.Expunge()); });
}
STDMETHODIMP Imap4Object::CopyMessage(LONG number, BSTR name) {
  return Guarded([&] { return Outcome(client_.CopyMessage(number, ToNarrow(name, CP_UTF8))); });
}
STDMETHODIMP Imap4Object::Search(BSTR criteria, VARIANT* results) {
  // The criteria go out in UTF-8 (with CHARSET UTF-8 where they need it).
  return Guarded([&] { return SearchOutcome(client_.Search(ToNarrow(criteria, CP_UTF8)), results); });
}
STDMETHODIMP Imap4Object::SearchByFlags(LONG flags, VARIANT* results) {
  return Guarded([&] { return SearchOutcome(client_.SearchByFlags(flags), results); });
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
  return Guarded([&] {
    return HandOut(client_.Retrieve(number), message);
  });
}
STDMETHODIMP Imap4Object::RetrieveHeader(LONG number, IMIMEMessage** message) {
  return Guarded([&] {
    return HandOut(client_.RetrieveHeader(number), message);
  });
}
STDMETHODIMP Imap4Object::RetrieveTop(LONG number, LONG bytes, IMIMEMessage** message) {
  return Guarded([&] {
    return HandOut(client_.RetrieveTop(number, bytes), message);
  });
}
STDMETHODIMP Imap4Object::GetMessageSize(LONG number, LONG* size) {
  return Guarded([&] {
    if (!client_.GetMessageSize(number)) return Outcome(false);
    return GetValue(client_.last_size, size);
  });
}
STDMETHODIMP Imap4Object::GetMessageFlags(LONG number, LONG* flags) {
  return Guarded([&] {
    if (flags) *flags = 0;
    int32_t found = 0;
    if (!client_.GetMessageFlags(number, found)) return Outcome(false);
    return GetValue(found, flags);
  });
}
STDMETHODIMP Imap4Object::PutMessageFlags(LONG number, LONG flags) {
  return Guarded([&] { return Outcome(client_.PutMessageFlags(number, flags)); });
}
STDMETHODIMP Imap4Object::UpdateStatus() {
  return Guarded([&] { return Outcome(client_.UpdateStatus()); });
}

STDMETHODIMP Imap4Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Imap4Object::OnEndPage() { return page_.OnEndPage(); }

}  // namespace vesk::com
