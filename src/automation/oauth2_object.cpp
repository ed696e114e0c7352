#include "automation/oauth2_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "engine/common/error_texts.h"
#include "engine/protocols/sign_in.h"

namespace vesk::com {

namespace {

// Every text of this object is kept in UTF-8: what the provider sends (its
// JSON is UTF-8, RFC 8259 section 8.1) and what goes into its forms alike,
// so that no character is lost on the way in either direction.
constexpr UINT kText = CP_UTF8;

HRESULT GetUtf8(const std::string& value, BSTR* result) { return GetText(value, result, kText); }
HRESULT SetUtf8(std::string& field, BSTR value) { return SetText(field, value, kText); }

// A secret is wiped when it is replaced.
HRESULT SetSecretText(std::string& slot, BSTR value) {
  return Guarded([&] {
    Credentials::Replace(slot, ToNarrow(value, kText));
    return S_OK;
  });
}

}  // namespace

HRESULT OAuth2Object::Outcome(bool succeeded) {
  last_error_number_ = succeeded ? 0 : MessageIdOfText(client_.last_error());
  if (succeeded) return S_OK;
  ReportError(CLSID_VeskOAuth2, client_.last_error(), IID_IVeskOAuth2, 0, kText);
  return E_FAIL;
}

STDMETHODIMP OAuth2Object::get_TokenEndpoint(BSTR* value) { return GetUtf8(client_.settings().token_endpoint, value); }
STDMETHODIMP OAuth2Object::put_TokenEndpoint(BSTR value) { return SetUtf8(client_.settings().token_endpoint, value); }
STDMETHODIMP OAuth2Object::get_AuthorizationEndpoint(BSTR* value) {
  return GetUtf8(client_.settings().authorization_endpoint, value);
}
STDMETHODIMP OAuth2Object::put_AuthorizationEndpoint(BSTR value) {
  return SetUtf8(client_.settings().authorization_endpoint, value);
}
STDMETHODIMP OAuth2Object::get_DeviceAuthorizationEndpoint(BSTR* value) {
  return GetUtf8(client_.settings().device_authorization_endpoint, value);
}
STDMETHODIMP OAuth2Object::put_DeviceAuthorizationEndpoint(BSTR value) {
  return SetUtf8(client_.settings().device_authorization_endpoint, value);
}
STDMETHODIMP OAuth2Object::get_ClientId(BSTR* value) { return GetUtf8(client_.settings().client_id, value); }
STDMETHODIMP OAuth2Object::put_ClientId(BSTR value) { return SetUtf8(client_.settings().client_id, value); }
STDMETHODIMP OAuth2Object::get_ClientSecret(BSTR* value) { return GetUtf8(client_.settings().client_secret, value); }
STDMETHODIMP OAuth2Object::put_ClientSecret(BSTR value) { return SetSecretText(client_.settings().client_secret, value); }
STDMETHODIMP OAuth2Object::get_Scope(BSTR* value) { return GetUtf8(client_.settings().scope, value); }
STDMETHODIMP OAuth2Object::put_Scope(BSTR value) { return SetUtf8(client_.settings().scope, value); }
STDMETHODIMP OAuth2Object::get_TimeOut(LONG* value) { return GetValue(client_.settings().timeout_ms, value); }
STDMETHODIMP OAuth2Object::put_TimeOut(LONG value) {
  if (value <= 0) return E_INVALIDARG;
  client_.settings().timeout_ms = value;
  return S_OK;
}
// The token file's name crosses as UTF-8 to the wide file functions, so that
// a path outside the ANSI code page keeps every character.
STDMETHODIMP OAuth2Object::get_TokenFile(BSTR* value) {
  if (!value) return E_POINTER;
  return ToBstr(client_.settings().token_file, value, CP_UTF8);
}
STDMETHODIMP OAuth2Object::put_TokenFile(BSTR value) {
  return Guarded([&] {
    client_.settings().token_file = ToNarrow(value, CP_UTF8);
    return S_OK;
  });
}
STDMETHODIMP OAuth2Object::get_OpenBrowser(VARIANT_BOOL* value) {
  return GetValue(ToVariantBool(client_.settings().open_browser), value);
}
STDMETHODIMP OAuth2Object::put_OpenBrowser(VARIANT_BOOL value) {
  client_.settings().open_browser = value != VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP OAuth2Object::get_AccessToken(BSTR* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    std::string token;
    if (!client_.CurrentToken(token)) return Outcome(false);
    const HRESULT hr = ToBstr(token, value, kText);
    WipeText(token);
    return hr;
  });
}

STDMETHODIMP OAuth2Object::get_ExpiresIn(LONG* value) {
  const std::int64_t left = client_.SecondsLeft();
  return GetValue(left < 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : left, value);
}
STDMETHODIMP OAuth2Object::get_RefreshToken(BSTR* value) { return GetUtf8(client_.tokens().refresh_token, value); }
STDMETHODIMP OAuth2Object::put_RefreshToken(BSTR value) {
  return Guarded([&] {
    client_.SetRefreshToken(ToNarrow(value, kText));
    return S_OK;
  });
}
STDMETHODIMP OAuth2Object::get_UserCode(BSTR* value) { return GetUtf8(client_.device_grant().user_code, value); }
STDMETHODIMP OAuth2Object::get_VerificationUri(BSTR* value) {
  return GetUtf8(client_.device_grant().verification_uri, value);
}
STDMETHODIMP OAuth2Object::get_VerificationUriComplete(BSTR* value) {
  return GetUtf8(client_.device_grant().verification_uri_complete, value);
}
STDMETHODIMP OAuth2Object::get_AuthorizationAddress(BSTR* value) {
  return GetUtf8(client_.authorization_address(), value);
}
STDMETHODIMP OAuth2Object::get_RedirectUri(BSTR* value) { return GetUtf8(client_.redirect_uri(), value); }

STDMETHODIMP OAuth2Object::RequestToken() {
  return Guarded([&] { return Outcome(client_.RequestClientCredentials()); });
}
STDMETHODIMP OAuth2Object::Refresh() {
  return Guarded([&] { return Outcome(client_.Refresh()); });
}
STDMETHODIMP OAuth2Object::StartDeviceAuthorization() {
  return Guarded([&] { return Outcome(client_.StartDeviceAuthorization()); });
}
STDMETHODIMP OAuth2Object::WaitForDeviceAuthorization(LONG seconds) {
  return Guarded([&] { return Outcome(client_.WaitForDeviceAuthorization(seconds)); });
}
STDMETHODIMP OAuth2Object::StartAuthorization(BSTR* address) {
  if (!address) return E_POINTER;
  *address = nullptr;
  return Guarded([&] {
    if (!client_.StartAuthorization()) return Outcome(false);
    return ToBstr(client_.authorization_address(), address, kText);
  });
}
STDMETHODIMP OAuth2Object::WaitForAuthorization(LONG seconds) {
  return Guarded([&] { return Outcome(client_.WaitForAuthorization(seconds)); });
}
STDMETHODIMP OAuth2Object::LoadTokens(VARIANT_BOOL* loaded) {
  if (!loaded) return E_POINTER;
  return Guarded([&] {
    const bool found = client_.LoadTokens();
    *loaded = ToVariantBool(found);
    return found || client_.last_error().empty() ? S_OK : Outcome(false);
  });
}
STDMETHODIMP OAuth2Object::SaveTokens() {
  return Guarded([&] { return Outcome(client_.SaveTokens()); });
}

STDMETHODIMP OAuth2Object::get_LastError(LONG* value) { return GetValue(last_error_number_, value); }

bool OAuth2Object::CurrentToken(std::string& token, std::string& error) {
  if (client_.CurrentToken(token)) return true;
  error = client_.last_error();
  return false;
}

}  // namespace vesk::com
