#pragma once

#include <cstdint>
#include <string>

#include "automation/frame/com_object.h"
#include "automation/frame/connection_points.h"
#include "automation/frame/page_context.h"

namespace vesk::com {

// VeskMail.POP3: reads one POP3 mailbox.
class Pop3Object : public DispatchObject<Pop3Object, IVeskPOP3, ErrorInfoSupport<IVeskPOP3>,
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

 private:
  std::string user_;
  std::string password_;
  std::string host_ = "localhost";
  int16_t port_ = 110;
  int16_t message_count_ = 0;
  int32_t timeout_ = 5000;
  std::string last_error_;
  PageContextHolder page_;
};

}  // namespace vesk::com
