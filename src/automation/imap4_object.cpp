#include "automation/imap4_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "engine/protocols/imap_mailbox_names.h"

namespace vesk::com {

STDMETHODIMP Imap4Object::get_Host(BSTR* value) { return GetText(host_, value); }
STDMETHODIMP Imap4Object::put_Host(BSTR value) { return SetText(host_, value); }
STDMETHODIMP Imap4Object::get_Port(short* value) { return GetValue(port_, value); }
STDMETHODIMP Imap4Object::put_Port(short value) {
  port_ = value;
  return S_OK;
}
STDMETHODIMP Imap4Object::get_TimeOut(LONG* value) { return GetValue(timeout_, value); }
STDMETHODIMP Imap4Object::put_TimeOut(LONG value) {
  timeout_ = value;
  return S_OK;
}
STDMETHODIMP Imap4Object::get_User(BSTR* value) { return GetText(user_, value); }
STDMETHODIMP Imap4Object::put_User(BSTR value) { return SetText(user_, value); }
STDMETHODIMP Imap4Object::get_Password(BSTR* value) { return GetText(password_, value); }
STDMETHODIMP Imap4Object::put_Password(BSTR value) { return SetText(password_, value); }
STDMETHODIMP Imap4Object::get_MessageCount(LONG* value) { return GetValue(message_count_, value); }
STDMETHODIMP Imap4Object::get_RecentCount(LONG* value) { return GetValue(recent_count_, value); }
STDMETHODIMP Imap4Object::get_FirstUnseen(LONG* value) { return GetValue(first_unseen_, value); }

// The name is kept in the server's form, mapped with the delimiter known when
// it was written; reading maps the current delimiter back to backslashes.
STDMETHODIMP Imap4Object::get_MailboxName(BSTR* value) {
  return Guarded([&] { return GetText(MapSeparator(mailbox_name_, hierarchy_delimiter_, client_separator_), value); });
}
STDMETHODIMP Imap4Object::put_MailboxName(BSTR value) {
  return Guarded([&] {
    mailbox_name_ = MapSeparator(ToNarrow(value), client_separator_, hierarchy_delimiter_);
    return S_OK;
  });
}

HRESULT Imap4Object::NotYet(const char* member) {
  return ReportNotImplemented(CLSID_VeskIMAP4, member, &last_error_);
}

template <class T>
static void ClearResult(T* result) {
  if (result) *result = T{};
}

STDMETHODIMP Imap4Object::Connect() { return NotYet("Connect"); }
STDMETHODIMP Imap4Object::Disconnect() { return NotYet("Disconnect"); }
STDMETHODIMP Imap4Object::SelectMailbox(VARIANT_BOOL) { return NotYet("SelectMailbox"); }
STDMETHODIMP Imap4Object::CreateMailbox(BSTR) { return NotYet("CreateMailbox"); }
STDMETHODIMP Imap4Object::DeleteMailbox(BSTR) { return NotYet("DeleteMailbox"); }
STDMETHODIMP Imap4Object::RenameMailbox(BSTR, BSTR) { return NotYet("RenameMailbox"); }
STDMETHODIMP Imap4Object::GetMailboxesList(VARIANT* list) {
  if (list) VariantInit(list);
  return NotYet("GetMailboxesList");
}
STDMETHODIMP Imap4Object::AppendMessage(BSTR, IMIMEMessage*) { return NotYet("AppendMessage"); }
STDMETHODIMP Imap4Object::DeleteMessage(LONG) { return NotYet("DeleteMessage"); }
STDMETHODIMP Imap4Object::Expunge() { return NotYet("Expunge"); }
STDMETHODIMP Imap4Object::CopyMessage(LONG, BSTR) { return NotYet("CopyMessage"); }
STDMETHODIMP Imap4Object::Search(BSTR, VARIANT* results) {
  if (results) VariantInit(results);
  return NotYet("Search");
}
STDMETHODIMP Imap4Object::SearchByFlags(LONG, VARIANT* results) {
  if (results) VariantInit(results);
  return NotYet("SearchByFlags");
}
STDMETHODIMP Imap4Object::SearchSentOn(DATE, VARIANT* results) {
  if (results) VariantInit(results);
  return NotYet("SearchSentOn");
}
STDMETHODIMP Imap4Object::SearchSentBefore(DATE, VARIANT* results) {
  if (results) VariantInit(results);
  return NotYet("SearchSentBefore");
}
STDMETHODIMP Imap4Object::SearchSentSince(DATE, VARIANT* results) {
  if (results) VariantInit(results);
  return NotYet("SearchSentSince");
}
STDMETHODIMP Imap4Object::Retrieve(LONG, IMIMEMessage** message) {
  ClearResult(message);
  return NotYet("Retrieve");
}
STDMETHODIMP Imap4Object::RetrieveHeader(LONG, IMIMEMessage** message) {
  ClearResult(message);
  return NotYet("RetrieveHeader");
}
STDMETHODIMP Imap4Object::RetrieveTop(LONG, LONG, IMIMEMessage** message) {
  ClearResult(message);
  return NotYet("RetrieveTop");
}
STDMETHODIMP Imap4Object::GetMessageSize(LONG, LONG* size) {
  ClearResult(size);
  return NotYet("GetMessageSize");
}
STDMETHODIMP Imap4Object::GetMessageFlags(LONG, LONG* flags) {
  ClearResult(flags);
  return NotYet("GetMessageFlags");
}
STDMETHODIMP Imap4Object::PutMessageFlags(LONG, LONG) { return NotYet("PutMessageFlags"); }
STDMETHODIMP Imap4Object::UpdateStatus() { return NotYet("UpdateStatus"); }

STDMETHODIMP Imap4Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Imap4Object::OnEndPage() { return page_.OnEndPage(); }

}  // namespace vesk::com
