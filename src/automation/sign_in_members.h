#pragma once

#include <string>

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/secure_transport_members.h"
#include "engine/net/protocol_trace.h"
#include "engine/protocols/sign_in.h"

namespace vesk::com {

// The members the derived protocol interfaces add for signing in and for
// seeing what the server said (AccessToken, AuthMethod, LastServerReply,
// TraceFile, OAuth2), the same on SMTP, POP3 and IMAP4, after the ones for
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
  STDMETHODIMP get_TraceFile(BSTR* value) override { return GetText(Trace().path(), value); }
  STDMETHODIMP put_TraceFile(BSTR value) override {
    return Guarded([&] {
      Trace().set_path(ToNarrow(value));
      return S_OK;
    });
  }
  STDMETHODIMP get_OAuth2(IVeskOAuth2** value) override {
    if (!value) return E_POINTER;
    *value = ComPtr<IVeskOAuth2>(oauth2_).detach();
    return S_OK;
  }
  STDMETHODIMP putref_OAuth2(IVeskOAuth2* value) override {
    oauth2_ = value;
    return S_OK;
  }

 protected:
  // A secret replaced: the old text is wiped before it is let go.
  static HRESULT SetSecret(std::string& slot, BSTR value) {
    return Guarded([&] {
      Credentials::Replace(slot, ToNarrow(value));
      return S_OK;
    });
  }

  // Before Connect signs in: with an OAuth2 object set, the access token is
  // a current one from it (refreshed there when less than a minute is
  // left). A failure is reported under `clsid` with the OAuth2 object's text.
  HRESULT TakeTokenFromOAuth2(REFCLSID clsid) {
    if (!oauth2_) return S_OK;
    Bstr token;
    SetErrorInfo(0, nullptr);
    const HRESULT hr = oauth2_->get_AccessToken(token.put());
    if (FAILED(hr)) {
      std::string description = "OAuth2 gave no access token";
      ComPtr<IErrorInfo> error;
      Bstr text;
      if (GetErrorInfo(0, error.put()) == S_OK && error && SUCCEEDED(error->GetDescription(text.put())) &&
          text.length() > 0) {
        description = ToNarrow(text.get());
      }
      ReportError(clsid, description);
      return E_FAIL;
    }
    Credentials::Replace(AccessTokenSlot(), ToNarrow(token.get()));
    SecureZeroMemory(token.get(), token.length() * sizeof(wchar_t));
    return S_OK;
  }

  virtual std::string& AccessTokenSlot() = 0;
  virtual vesk::AuthMethod& AuthMethodSlot() = 0;
  virtual const std::string& LastReply() const = 0;
  virtual ProtocolTrace& Trace() = 0;

 private:
  ComPtr<IVeskOAuth2> oauth2_;
};

}  // namespace vesk::com
