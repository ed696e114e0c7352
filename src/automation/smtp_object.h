#pragma once

#include "automation/frame/com_object.h"
#include "automation/session_members.h"
#include "automation/frame/connection_points.h"
#include "automation/transfer_events.h"
#include "engine/protocols/smtp_client.h"

namespace vesk::com {

// VeskMail.SMTP: sends messages to one SMTP server.
class SmtpObject : public DispatchObject<SmtpObject, SessionMembers<IVeskSMTPEx, IVeskSMTP>,
                                         ErrorInfoSupport<IVeskSMTPEx, IVeskSMTP>,
                                         EventSource, ClassInfoSupport<CLSID_VeskSMTP>> {
 public:
  SmtpObject();
  STDMETHODIMP Send(IDispatch* message, BSTR to, BSTR from) override;
  STDMETHODIMP get_UseExtensions(VARIANT_BOOL* value) override;
  STDMETHODIMP put_UseExtensions(VARIANT_BOOL value) override;
  STDMETHODIMP get_DeliveryNotify(LONG* value) override;
  STDMETHODIMP put_DeliveryNotify(LONG value) override;
  STDMETHODIMP get_DeliveryReturn(DELIVERY_RETURN* value) override;
  STDMETHODIMP put_DeliveryReturn(DELIVERY_RETURN value) override;
  STDMETHODIMP get_EnvelopeID(BSTR* value) override;
  STDMETHODIMP put_EnvelopeID(BSTR value) override;
  STDMETHODIMP get_AllowPartialDelivery(VARIANT_BOOL* value) override;
  STDMETHODIMP put_AllowPartialDelivery(VARIANT_BOOL value) override;
  STDMETHODIMP get_RefusedRecipients(VARIANT* value) override;
  STDMETHODIMP get_RefusedReplies(VARIANT* value) override;
  STDMETHODIMP get_Pipelining(VARIANT_BOOL* value) override;
  STDMETHODIMP put_Pipelining(VARIANT_BOOL value) override;

 private:
  LineSession& Session() override { return client_; }
  const CLSID& ClassId() const override { return CLSID_VeskSMTP; }
  HRESULT Failure();
  const std::string& HostDomain();

  SmtpClient client_;
  // The machine's DNS name for new message identifiers, asked for once per
  // object: the system call costs more than the rest of a send.
  std::string host_domain_;
  bool host_domain_known_ = false;
};

}  // namespace vesk::com
