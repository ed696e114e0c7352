#pragma once

#include <cstdint>
#include <string>

#include "automation/frame/com_object.h"
#include "automation/frame/connection_points.h"

namespace vesk::com {

// VeskMail.SMTP: sends messages to one SMTP server.
class SmtpObject : public DispatchObject<SmtpObject, IVeskSMTP, ErrorInfoSupport<IVeskSMTP>,
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

 private:
  std::string host_ = "localhost";
  int16_t port_ = 25;
  int32_t timeout_ = 5000;
  std::string last_error_;
};

}  // namespace vesk::com
