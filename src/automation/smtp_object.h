#pragma once

#include "automation/frame/com_object.h"
#include "automation/sign_in_members.h"
#include "automation/frame/connection_points.h"
#include "engine/protocols/smtp_client.h"

namespace vesk::com {

// VeskMail.SMTP: sends messages to one SMTP server.
class SmtpObject : public DispatchObject<SmtpObject, SignInMembers<IVeskSMTPEx, IVeskSMTP>,
                                         ErrorInfoSupport<IVeskSMTPEx, IVeskSMTP>,
                                         EmptyConnectionPointContainer> {
 public:
  STDMETHODIMP get_Port(short* value) override;
  STDMETHODIMP put_Port(short value) override;
  STDMETHODIMP get_Host(BSTR* value) override;
  STDMETHODIMP put_Host(BSTR value) override;
  STDMETHODIMP get_TimeOut(LONG* value) override;
  STDMETHODIMP put_TimeOut(LONG value) override;
  STDMETHODIMP Connect() override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP Send(IDispatch* message, BSTR to, BSTR from) override;
  STDMETHODIMP get_User(BSTR* value) override;
  STDMETHODIMP put_User(BSTR value) override;
  STDMETHODIMP get_Password(BSTR* value) override;
  STDMETHODIMP put_Password(BSTR value) override;

 private:
  TransportSecurity& TransportSettings() override { return client_.security(); }
  std::string NegotiatedTls() const override { return client_.tls_protocol(); }
  std::string& AccessTokenSlot() override { return client_.credentials().access_token; }
  vesk::AuthMethod& AuthMethodSlot() override { return client_.credentials().method; }
  const std::string& LastReply() const override { return client_.last_reply(); }
  ProtocolTrace& Trace() override { return client_.trace(); }
  HRESULT Failure();
  const std::string& HostDomain();

  SmtpClient client_;
  // The machine's DNS name for new message identifiers, asked for once per
  // object: the system call costs more than the rest of a send.
  std::string host_domain_;
  bool host_domain_known_ = false;
};

}  // namespace vesk::com
