#pragma once

#include "automation/frame/com_object.h"
#include "automation/session_members.h"
#include "automation/frame/page_context.h"
#include "automation/retrieved_message.h"
#include "engine/protocols/imap_client.h"

namespace vesk::com {

// VeskMail.IMAP4: mailboxes and messages of one IMAP4 account.
class Imap4Object : public DispatchObject<Imap4Object, SessionMembers<IVeskIMAP4Ex, IVeskIMAP4>,
                                         ErrorInfoSupport<IVeskIMAP4Ex, IVeskIMAP4>> {
 public:
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

 private:
  LineSession& Session() override { return client_; }
  const CLSID& ClassId() const override { return CLSID_VeskIMAP4; }
  using SearchByDate = bool (ImapClient::*)(int year, int month, int day);

  HRESULT SearchOutcome(bool succeeded, VARIANT* results);
  HRESULT SearchDate(SearchByDate search, DATE date, VARIANT* results);
  HRESULT HandOut(bool fetched, IMIMEMessage** message);

  ImapClient client_;
  PageContextHolder page_;
  RetrievedMessageMaker messages_;
};

}  // namespace vesk::com
