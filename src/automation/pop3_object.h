#pragma once

#include "automation/frame/com_object.h"
#include "automation/sign_in_members.h"
#include "automation/frame/connection_points.h"
#include "automation/frame/page_context.h"
#include "automation/retrieved_message.h"
#include "engine/protocols/pop3_client.h"

namespace vesk::com {

// VeskMail.POP3: reads one POP3 mailbox.
class Pop3Object : public DispatchObject<Pop3Object, SignInMembers<IVeskPOP3Ex, IVeskPOP3>,
                                         ErrorInfoSupport<IVeskPOP3Ex, IVeskPOP3>,
                                         EmptyConnectionPointContainer> {
 public:
  STDMETHODIMP get_User(BSTR* value) override;
  STDMETHODIMP put_User(BSTR value) override;
  STDMETHODIMP get_Password(BSTR* value) override;
  STDMETHODIMP put_Password(BSTR value) override;
  STDMETHODIMP get_Host(BSTR* value) override;
  STDMETHODIMP put_Host(BSTR value) override;
  STDMETHODIMP get_Port(short* value) override;
  STDMETHODIMP put_Port(short value) override;
  STDMETHODIMP get_MessageCount(short* value) override;
  STDMETHODIMP Connect() override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP GetMessageSize(short number, LONG* size) override;
  STDMETHODIMP Retrieve(short number, IDispatch** message) override;
  STDMETHODIMP Delete(short number) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP RetrieveTop(short number, short lines, IDispatch** message) override;
  STDMETHODIMP get_TimeOut(LONG* value) override;
  STDMETHODIMP put_TimeOut(LONG value) override;
  STDMETHODIMP OnStartPage(IUnknown* context) override;
  STDMETHODIMP OnEndPage() override;
  STDMETHODIMP GetMessageUID(short number, BSTR* uid) override;
  STDMETHODIMP FindMessageByUID(BSTR uid, short* number) override;

 private:
  TransportSecurity& TransportSettings() override { return client_.security(); }
  std::string NegotiatedTls() const override { return client_.tls_protocol(); }
  std::string& AccessTokenSlot() override { return client_.credentials().access_token; }
  vesk::AuthMethod& AuthMethodSlot() override { return client_.credentials().method; }
  const std::string& LastReply() const override { return client_.last_reply(); }
  ProtocolTrace& Trace() override { return client_.trace(); }
  HRESULT Outcome(bool succeeded);
  HRESULT HandOut(IDispatch** message);

  Pop3Client client_;
  PageContextHolder page_;
  RetrievedMessageMaker messages_;
};

}  // namespace vesk::com
