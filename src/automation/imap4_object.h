#pragma once

#include "automation/frame/com_object.h"
#include "automation/session_members.h"
#include "automation/frame/connection_points.h"
#include "automation/frame/page_context.h"
#include "automation/transfer_events.h"
#include "automation/retrieved_message.h"
#include "engine/protocols/imap_client.h"

namespace vesk::com {

// VeskMail.IMAP4: mailboxes and messages of one IMAP4 account.
class Imap4Object : public DispatchObject<Imap4Object, SessionMembers<IVeskIMAP4Ex, IVeskIMAP4>,
                                         ErrorInfoSupport<IVeskIMAP4Ex, IVeskIMAP4>, EventSource,
                                         ClassInfoSupport<CLSID_VeskIMAP4>> {
 public:
  Imap4Object();
  STDMETHODIMP get_MessageCount(LONG* value) override;
  STDMETHODIMP get_RecentCount(LONG* value) override;
  STDMETHODIMP get_FirstUnseen(LONG* value) override;
  STDMETHODIMP get_MailboxName(BSTR* value) override;
  STDMETHODIMP put_MailboxName(BSTR value) override;
  STDMETHODIMP SelectMailbox(VARIANT_BOOL read_only) override;
  STDMETHODIMP CreateMailbox(BSTR name) override;
  STDMETHODIMP DeleteMailbox(BSTR name) override;
  STDMETHODIMP RenameMailbox(BSTR old_name, BSTR new_name) override;
  STDMETHODIMP GetMailboxesList(VARIANT* list) override;
  STDMETHODIMP AppendMessage(BSTR name, IMIMEMessage* message) override;
  STDMETHODIMP DeleteMessage(LONG number) override;
  STDMETHODIMP Expunge() override;
  STDMETHODIMP CopyMessage(LONG number, BSTR name) override;
  STDMETHODIMP Search(BSTR criteria, VARIANT* results) override;
  STDMETHODIMP SearchByFlags(LONG flags, VARIANT* results) override;
  STDMETHODIMP SearchSentOn(DATE date, VARIANT* results) override;
  STDMETHODIMP SearchSentBefore(DATE date, VARIANT* results) override;
  STDMETHODIMP SearchSentSince(DATE date, VARIANT* results) override;
  STDMETHODIMP Retrieve(LONG number, IMIMEMessage** message) override;
  STDMETHODIMP RetrieveHeader(LONG number, IMIMEMessage** message) override;
  STDMETHODIMP RetrieveTop(LONG number, LONG bytes, IMIMEMessage** message) override;
  STDMETHODIMP GetMessageSize(LONG number, LONG* size) override;
  STDMETHODIMP GetMessageFlags(LONG number, LONG* flags) override;
  STDMETHODIMP PutMessageFlags(LONG number, LONG flags) override;
  STDMETHODIMP UpdateStatus() override;
  STDMETHODIMP OnStartPage(IUnknown* context) override;
  STDMETHODIMP OnEndPage() override;
  // Working through a mailbox.
  STDMETHODIMP get_UseUIDs(VARIANT_BOOL* value) override;
  STDMETHODIMP put_UseUIDs(VARIANT_BOOL value) override;
  STDMETHODIMP get_UIDValidity(double* value) override;
  STDMETHODIMP get_UIDNext(double* value) override;
  STDMETHODIMP MoveMessage(VARIANT message, BSTR name) override;
  STDMETHODIMP SpecialMailbox(BSTR role, BSTR* name) override;
  STDMETHODIMP WaitForChange(LONG seconds, VARIANT_BOOL* changed) override;
  STDMETHODIMP GetMessageParts(VARIANT message, VARIANT* parts) override;
  STDMETHODIMP PartContentType(BSTR part, BSTR* value) override;
  STDMETHODIMP PartFileName(BSTR part, BSTR* value) override;
  STDMETHODIMP PartSize(BSTR part, LONG* value) override;
  STDMETHODIMP PartEncoding(BSTR part, BSTR* value) override;
  STDMETHODIMP SavePart(VARIANT message, BSTR part, BSTR file_name) override;
  STDMETHODIMP GetPartText(VARIANT message, BSTR part, BSTR* text) override;

 private:
  LineSession& Session() override { return client_; }
  const CLSID& ClassId() const override { return CLSID_VeskIMAP4; }
  using SearchByDate = bool (ImapClient::*)(int year, int month, int day);

  HRESULT SearchOutcome(bool succeeded, VARIANT* results);
  HRESULT SearchDate(SearchByDate search, DATE date, VARIANT* results);
  HRESULT HandOut(bool fetched, IMIMEMessage** message);
  bool MessageArgument(const VARIANT& message, int32_t& argument);
  const ImapBodyPart* ListedPart(BSTR part);
  HRESULT FetchPart(const VARIANT& message, BSTR part, std::string& content, ImapBodyPart& described);

  ImapClient client_;
  PageContextHolder page_;
  RetrievedMessageMaker messages_;
};

}  // namespace vesk::com
