#pragma once

#include <string>

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/secure_transport_members.h"
#include "engine/net/protocol_trace.h"
#include "engine/protocols/sign_in.h"

namespace vesk::com {

// The members the derived protocol interfaces add for signing in and for
// seeing what the server said (AccessToken, AuthMethod, LastServerReply,
// TraceFile), the same on SMTP, POP3 and IMAP4, after the ones for
// encrypted connections.
template <class Extended, class Catalogued>
class SignInMembers : public SecureTransportMembers<Extended, Catalogued> {
 public:
  STDMETHODIMP get_AccessToken(BSTR* value) override { return GetText(AccessTokenSlot(), value); }
  STDMETHODIMP put_AccessToken(BSTR value) override { return SetSecret(AccessTokenSlot(), value); }
  STDMETHODIMP get_AuthMethod(AUTH_METHOD* value) override {
    return GetValue(static_cast<AUTH_METHOD>(AuthMethodSlot()), value);
  }
  STDMETHODIMP put_AuthMethod(AUTH_METHOD value) override {
    if (value < AUTH_METHOD_AUTOMATIC || value > AUTH_METHOD_XOAUTH2) return E_INVALIDARG;
    AuthMethodSlot() = static_cast<vesk::AuthMethod>(value);
    return S_OK;
  }
  STDMETHODIMP get_LastServerReply(BSTR* value) override { return GetText(LastReply(), value); }
  // A path crosses as UTF-8 to the wide file functions.
  STDMETHODIMP get_TraceFile(BSTR* value) override { return ToBstr(Trace().path(), value, CP_UTF8); }
  STDMETHODIMP put_TraceFile(BSTR value) override {
    return Guarded([&] {
      Trace().set_path(ToNarrow(value, CP_UTF8));
      return S_OK;
    });
  }

 protected:
  // A secret replaced: the old text is wiped before it is let go.
  static HRESULT SetSecret(std::string& slot, BSTR value) {
    return Guarded([&] {
      Credentials::Replace(slot, ToNarrow(value));
      return S_OK;
    });
  }

  virtual std::string& AccessTokenSlot() = 0;
  virtual vesk::AuthMethod& AuthMethodSlot() = 0;
  virtual const std::string& LastReply() const = 0;
  virtual ProtocolTrace& Trace() = 0;
};

}  // namespace vesk::com
