#pragma once

#include "automation/frame/com_object.h"
#include "automation/frame/connection_points.h"
#include "automation/retrieved_message.h"
#include "engine/mailapi/mail_api.h"

namespace vesk::com {

// VeskMail.MailAPI: sending and reading mail through a provider's web API
// (Microsoft Graph, the Gmail API), with tokens from a VeskMail.OAuth2
// object.
class MailApiObject : public DispatchObject<MailApiObject, IVeskMailAPI, ErrorInfoSupport<IVeskMailAPI>, EventSource,
                                            ClassInfoSupport<CLSID_VeskMailAPI>> {
 public:
  MailApiObject();

  STDMETHODIMP get_Provider(BSTR* value) override;
  STDMETHODIMP put_Provider(BSTR value) override;
  STDMETHODIMP get_BaseAddress(BSTR* value) override;
  STDMETHODIMP put_BaseAddress(BSTR value) override;
  STDMETHODIMP get_Mailbox(BSTR* value) override;
  STDMETHODIMP put_Mailbox(BSTR value) override;
  STDMETHODIMP get_OAuth2(IVeskOAuth2** value) override;
  STDMETHODIMP putref_OAuth2(IVeskOAuth2* value) override;
  STDMETHODIMP get_TimeOut(LONG* value) override;
  STDMETHODIMP put_TimeOut(LONG value) override;
  STDMETHODIMP get_TraceFile(BSTR* value) override;
  STDMETHODIMP put_TraceFile(BSTR value) override;
  STDMETHODIMP get_LastServerReply(BSTR* value) override;
  STDMETHODIMP Send(IDispatch* message) override;
  STDMETHODIMP ListMessages(BSTR folder, LONG max_count, VARIANT* ids) override;
  STDMETHODIMP Search(BSTR query, LONG max_count, VARIANT* ids) override;
  STDMETHODIMP Retrieve(BSTR id, IDispatch** message) override;
  STDMETHODIMP MessageSize(BSTR id, LONG* size) override;
  STDMETHODIMP MoveMessage(BSTR id, BSTR folder, BSTR* new_id) override;
  STDMETHODIMP DeleteMessage(BSTR id, VARIANT_BOOL permanently, BSTR* new_id) override;
  STDMETHODIMP MarkRead(BSTR id, VARIANT_BOOL read) override;
  STDMETHODIMP get_LastError(LONG* value) override;

 private:
  // The OAuth2 object as the engine's token source.
  class Tokens final : public mailapi::TokenSource {
   public:
    bool CurrentToken(std::string& token, std::string& error) override;
    bool RenewToken(std::string& error) override;
    ComPtr<IVeskOAuth2> oauth2;
  };

  template <class Body>
  HRESULT Operation(Body&& body);
  HRESULT Outcome(bool succeeded);

  mailapi::MailApiClient client_;
  Tokens tokens_;
  RetrievedMessageMaker messages_;
  LONG last_error_number_ = 0;
};

}  // namespace vesk::com
