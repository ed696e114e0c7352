#include "automation/smtp_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"

namespace vesk::com {

STDMETHODIMP SmtpObject::get_Port(short* value) { return GetValue(port_, value); }
STDMETHODIMP SmtpObject::put_Port(short value) {
  port_ = value;
  return S_OK;
}
STDMETHODIMP SmtpObject::get_Host(BSTR* value) { return GetText(host_, value); }
STDMETHODIMP SmtpObject::put_Host(BSTR value) { return SetText(host_, value); }
STDMETHODIMP SmtpObject::get_TimeOut(LONG* value) { return GetValue(timeout_, value); }
STDMETHODIMP SmtpObject::put_TimeOut(LONG value) {
  timeout_ = value;
  return S_OK;
}

STDMETHODIMP SmtpObject::Connect() { return ReportNotImplemented(CLSID_VeskSMTP, "Connect", &last_error_); }
STDMETHODIMP SmtpObject::Disconnect() { return ReportNotImplemented(CLSID_VeskSMTP, "Disconnect", &last_error_); }
STDMETHODIMP SmtpObject::Send(IDispatch*, BSTR, BSTR) {
  return ReportNotImplemented(CLSID_VeskSMTP, "Send", &last_error_);
}

}  // namespace vesk::com
