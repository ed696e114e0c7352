#pragma once

#include "automation/frame/com_object.h"
#include "automation/session_members.h"
#include "automation/frame/connection_points.h"
#include "engine/protocols/smtp_client.h"

namespace vesk::com {

// VeskMail.SMTP: sends messages to one SMTP server.
class SmtpObject : public DispatchObject<SmtpObject, SessionMembers<IVeskSMTPEx, IVeskSMTP>,
                                         ErrorInfoSupport<IVeskSMTPEx, IVeskSMTP>,
                                         EmptyConnectionPointContainer> {
 public:
  STDMETHODIMP Send(IDispatch* message, BSTR to, BSTR from) override;

 private:
  LineSession& Session() override { return client_; }
  const CLSID& ClassId() const override { return CLSID_VeskSMTP; }
  HRESULT Failure();
  HRESULT CollectEnvelope(IMIMEMessage* message, BSTR to, BSTR from, std::string& sender,
                          std::vector<std::string>& recipients);
  const std::string& HostDomain();

  SmtpClient client_;
  // The machine's DNS name for new message identifiers, asked for once per
  // object: the system call costs more than the rest of a send.
  std::string host_domain_;
  bool host_domain_known_ = false;
};

}  // namespace vesk::com
