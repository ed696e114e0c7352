#pragma once

#include <cstdint>
#include <string>

#include "automation/frame/com_object.h"
#include "automation/frame/page_context.h"

namespace vesk::com {

// VeskMail.IMAP4: mailboxes and messages of one IMAP4 account.
class Imap4Object : public DispatchObject<Imap4Object, IVeskIMAP4, ErrorInfoSupport<IVeskIMAP4>> {
 public:
  STDMETHODIMP get_Host(BSTR* value) override;
  STDMETHODIMP put_Host(BSTR value) override;
  STDMETHODIMP get_Port(short* value) override;
  STDMETHODIMP put_Port(short value) override;
  STDMETHODIMP get_TimeOut(LONG* value) override;
  STDMETHODIMP put_TimeOut(LONG value) override;
  STDMETHODIMP get_User(BSTR* value) override;
  STDMETHODIMP put_User(BSTR value) override;
  STDMETHODIMP get_Password(BSTR* value) override;
  STDMETHODIMP put_Password(BSTR value) override;
  STDMETHODIMP get_MessageCount(LONG* value) override;
  STDMETHODIMP get_RecentCount(LONG* value) override;
  STDMETHODIMP get_FirstUnseen(LONG* value) override;
  STDMETHODIMP get_MailboxName(BSTR* value) override;
  STDMETHODIMP put_MailboxName(BSTR value) override;
  STDMETHODIMP Connect() override;
  STDMETHODIMP Disconnect() override;
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
  HRESULT NotYet(const char* member);

  int16_t port_ = 143;
  int32_t timeout_ = 5000;
  std::string host_ = "localhost";
  std::string mailbox_name_ = "INBOX";  // server form
  std::string password_ = "lemonade";
  std::string user_ = "user";
  std::string hierarchy_delimiter_ = ".";
  std::string client_separator_ = "\\";
  int32_t message_count_ = 0;
  int32_t recent_count_ = 0;
  int32_t first_unseen_ = 0;
  std::string last_error_ = "Unknown error";
  PageContextHolder page_;
};

}  // namespace vesk::com
