#include "automation/pop3_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"

namespace vesk::com {

STDMETHODIMP Pop3Object::get_User(BSTR* value) { return GetText(user_, value); }
STDMETHODIMP Pop3Object::put_User(BSTR value) { return SetText(user_, value); }
STDMETHODIMP Pop3Object::get_Password(BSTR* value) { return GetText(password_, value); }
STDMETHODIMP Pop3Object::put_Password(BSTR value) { return SetText(password_, value); }
STDMETHODIMP Pop3Object::get_Host(BSTR* value) { return GetText(host_, value); }
STDMETHODIMP Pop3Object::put_Host(BSTR value) { return SetText(host_, value); }
STDMETHODIMP Pop3Object::get_Port(short* value) { return GetValue(port_, value); }
STDMETHODIMP Pop3Object::put_Port(short value) {
  port_ = value;
  return S_OK;
}
STDMETHODIMP Pop3Object::get_MessageCount(short* value) { return GetValue(message_count_, value); }
STDMETHODIMP Pop3Object::get_TimeOut(LONG* value) { return GetValue(timeout_, value); }
STDMETHODIMP Pop3Object::put_TimeOut(LONG value) {
  timeout_ = value;
  return S_OK;
}

STDMETHODIMP Pop3Object::Connect() { return ReportNotImplemented(CLSID_VeskPOP3, "Connect", &last_error_); }
STDMETHODIMP Pop3Object::Disconnect() { return ReportNotImplemented(CLSID_VeskPOP3, "Disconnect", &last_error_); }
STDMETHODIMP Pop3Object::GetMessageSize(short, LONG* size) {
  if (size) *size = 0;
  return ReportNotImplemented(CLSID_VeskPOP3, "GetMessageSize", &last_error_);
}
STDMETHODIMP Pop3Object::Retrieve(short, IDispatch** message) {
  if (message) *message = nullptr;
  return ReportNotImplemented(CLSID_VeskPOP3, "Retrieve", &last_error_);
}
STDMETHODIMP Pop3Object::Delete(short) { return ReportNotImplemented(CLSID_VeskPOP3, "Delete", &last_error_); }
STDMETHODIMP Pop3Object::Reset() { return ReportNotImplemented(CLSID_VeskPOP3, "Reset", &last_error_); }
STDMETHODIMP Pop3Object::RetrieveTop(short, short, IDispatch** message) {
  if (message) *message = nullptr;
  return ReportNotImplemented(CLSID_VeskPOP3, "RetrieveTop", &last_error_);
}

STDMETHODIMP Pop3Object::OnStartPage(IUnknown* context) { return page_.OnStartPage(context); }
STDMETHODIMP Pop3Object::OnEndPage() { return page_.OnEndPage(); }

}  // namespace vesk::com
