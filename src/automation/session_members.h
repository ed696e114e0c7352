#pragma once

#include <string>

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/frame/strings.h"
#include "automation/frame/win.h"
#include "automation/protocol_failure.h"
#include "engine/protocols/line_session.h"

namespace vesk::com {

// The members the SMTP, POP3 and IMAP4 objects share, written once over the
// engine's LineSession: Host, Port, TimeOut, User, Password, Connect and
// Disconnect of the catalogued interfaces, and the members the derived
// interfaces add for encrypted connections (Security, VerifyCertificate,
// TlsProtocol), for signing in and for seeing what the server said
// (AccessToken, AuthMethod, LastServerReply, TraceFile, OAuth2). `Extended` is the
// derived interface, `Catalogued` the one it extends.
template <class Extended, class Catalogued>
class SessionMembers : public Extended {
 public:
  using Interface = Extended;
  using CataloguedInterface = Catalogued;

  STDMETHODIMP get_Host(BSTR* value) override { return GetText(Session().host(), value); }
  STDMETHODIMP put_Host(BSTR value) override {
    return Guarded([&] {
      Session().set_host(ToNarrow(value));
      return S_OK;
    });
  }
  // The interface holds the port as a 16-bit signed number; its bits are the
  // port number (ports above 32767 read back negative, as they were given).
  STDMETHODIMP get_Port(short* value) override { return GetValue(static_cast<std::int16_t>(Session().port()), value); }
  STDMETHODIMP put_Port(short value) override {
    Session().set_port(static_cast<std::uint16_t>(value));
    return S_OK;
  }
  STDMETHODIMP get_TimeOut(LONG* value) override { return GetValue(Session().timeout_ms(), value); }
  STDMETHODIMP put_TimeOut(LONG value) override {
    Session().set_timeout_ms(value);
    return S_OK;
  }
  STDMETHODIMP get_User(BSTR* value) override { return GetText(Session().user(), value); }
  STDMETHODIMP put_User(BSTR value) override { return SetSecret(Session().credentials().user, value); }
  STDMETHODIMP get_Password(BSTR* value) override { return GetText(Session().password(), value); }
  STDMETHODIMP put_Password(BSTR value) override { return SetSecret(Session().credentials().password, value); }
  STDMETHODIMP Connect() override {
    return Operation([&] {
      const HRESULT token = TakeTokenFromOAuth2();
      return FAILED(token) ? token : Outcome(Session().Connect());
    });
  }
  STDMETHODIMP Disconnect() override {
    return Operation([&] { return Outcome(Session().Disconnect()); });
  }
  STDMETHODIMP get_LastError(LONG* value) override { return GetValue(last_error_number_, value); }

  STDMETHODIMP get_Security(CONNECTION_SECURITY* value) override {
    return GetValue(static_cast<CONNECTION_SECURITY>(Session().security().mode), value);
  }
  STDMETHODIMP put_Security(CONNECTION_SECURITY value) override {
    if (value < CONNECTION_SECURITY_NONE || value > CONNECTION_SECURITY_TLS) return E_INVALIDARG;
    Session().security().mode = static_cast<vesk::Security>(value);
    return S_OK;
  }
  STDMETHODIMP get_VerifyCertificate(VARIANT_BOOL* value) override {
    return GetValue(ToVariantBool(Session().security().verify_certificate), value);
  }
  STDMETHODIMP put_VerifyCertificate(VARIANT_BOOL value) override {
    Session().security().verify_certificate = value != VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_TlsProtocol(BSTR* value) override { return GetText(Session().tls_protocol(), value); }

  STDMETHODIMP get_AccessToken(BSTR* value) override { return GetText(Session().credentials().access_token, value); }
  STDMETHODIMP put_AccessToken(BSTR value) override { return SetSecret(Session().credentials().access_token, value); }
  STDMETHODIMP get_AuthMethod(AUTH_METHOD* value) override {
    return GetValue(static_cast<AUTH_METHOD>(Session().credentials().method), value);
  }
  STDMETHODIMP put_AuthMethod(AUTH_METHOD value) override {
    if (value < AUTH_METHOD_AUTOMATIC || value > AUTH_METHOD_OAUTHBEARER) return E_INVALIDARG;
    Session().credentials().method = static_cast<vesk::AuthMethod>(value);
    return S_OK;
  }
  // Servers write their text in UTF-8 more and more.
  STDMETHODIMP get_LastServerReply(BSTR* value) override {
    if (!value) return E_POINTER;
    const std::string& reply = Session().last_reply();
    return ToBstr(reply, value, ServerTextCodePage(reply));
  }
  // A path crosses as UTF-8 to the wide file functions.
  STDMETHODIMP get_TraceFile(BSTR* value) override { return ToBstr(Session().trace().path(), value, CP_UTF8); }
  STDMETHODIMP put_TraceFile(BSTR value) override {
    return Guarded([&] {
      Session().trace().set_path(ToNarrow(value, CP_UTF8));
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
  virtual LineSession& Session() = 0;
  virtual const CLSID& ClassId() const = 0;

  // S_OK, or the session's last error reported with E_FAIL (its number
  // kept for LastError).
  HRESULT Outcome(bool succeeded) {
    if (succeeded) return S_OK;
    last_error_number_ = MessageIdOfText(Session().last_error());
    return ProtocolFailure(ClassId(), Session().last_error());
  }

  // The number LastError gives.
  LONG last_error_number_ = 0;

  // A member body that works with the server: LastError starts again at 0.
  template <class Body>
  HRESULT Operation(Body&& body) {
    last_error_number_ = 0;
    return Guarded(std::forward<Body>(body));
  }

  // Before Connect signs in: with an OAuth2 object set, the access token is
  // a current one from it (refreshed there when less than a minute is
  // left). A failure is reported as this object's, with the OAuth2 object's
  // text.
  HRESULT TakeTokenFromOAuth2() {
    if (!oauth2_) return S_OK;
    Bstr token;
    SetErrorInfo(0, nullptr);
    if (FAILED(oauth2_->get_AccessToken(token.put()))) {
      std::string description = "The OAuth2 object gave no access token";
      ComPtr<IErrorInfo> error;
      Bstr text;
      if (GetErrorInfo(0, error.put()) == S_OK && error && SUCCEEDED(error->GetDescription(text.put())) &&
          text.length() > 0) {
        description = ToNarrow(text.get(), CP_UTF8);
      }
      last_error_number_ = MessageIdOfText(ToNarrow(text.get(), CP_UTF8));
      ReportUtf8Error(ClassId(), description, E_FAIL);
      return E_FAIL;
    }
    Credentials::Replace(Session().credentials().access_token, ToNarrow(token.get()));
    SecureZeroMemory(token.get(), token.length() * sizeof(wchar_t));
    return S_OK;
  }

  // A secret replaced: the old text is wiped before it is let go.
  static HRESULT SetSecret(std::string& slot, BSTR value) {
    return Guarded([&] {
      Credentials::Replace(slot, ToNarrow(value));
      return S_OK;
    });
  }

 private:
  ComPtr<IVeskOAuth2> oauth2_;
};

}  // namespace vesk::com
