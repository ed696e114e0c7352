#pragma once

#include "automation/frame/com_object.h"
#include "automation/session_members.h"
#include "automation/frame/connection_points.h"
#include "automation/transfer_events.h"
#include "automation/frame/page_context.h"
#include "automation/retrieved_message.h"
#include "engine/protocols/pop3_client.h"

namespace vesk::com {

// VeskMail.POP3: reads one POP3 mailbox.
class Pop3Object : public DispatchObject<Pop3Object, SessionMembers<IVeskPOP3Ex, IVeskPOP3>,
                                         ErrorInfoSupport<IVeskPOP3Ex, IVeskPOP3>,
                                         EventSource, ClassInfoSupport<CLSID_VeskPOP3>> {
 public:
  Pop3Object();
  STDMETHODIMP get_MessageCount(short* value) override;
  STDMETHODIMP GetMessageSize(short number, LONG* size) override;
  STDMETHODIMP Retrieve(short number, IDispatch** message) override;
  STDMETHODIMP Delete(short number) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP RetrieveTop(short number, short lines, IDispatch** message) override;
  STDMETHODIMP OnStartPage(IUnknown* context) override;
  STDMETHODIMP OnEndPage() override;
  STDMETHODIMP GetMessageUID(short number, BSTR* uid) override;
  STDMETHODIMP FindMessageByUID(BSTR uid, short* number) override;

 private:
  LineSession& Session() override { return client_; }
  const CLSID& ClassId() const override { return CLSID_VeskPOP3; }
  HRESULT HandOut(IDispatch** message);

  Pop3Client client_;
  PageContextHolder page_;
  RetrievedMessageMaker messages_;
};

}  // namespace vesk::com
