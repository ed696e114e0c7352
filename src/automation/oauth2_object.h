#pragma once

#include "automation/frame/com_object.h"
#include "engine/oauth2/token_client.h"

namespace vesk::com {

// VeskMail.OAuth2: OAuth 2 access tokens for the protocol objects, kept
// current and, when a token file is named, kept sealed for the user.
class OAuth2Object : public DispatchObject<OAuth2Object, IVeskOAuth2, ErrorInfoSupport<IVeskOAuth2>> {
 public:
  STDMETHODIMP get_TokenEndpoint(BSTR* value) override;
  STDMETHODIMP put_TokenEndpoint(BSTR value) override;
  STDMETHODIMP get_AuthorizationEndpoint(BSTR* value) override;
  STDMETHODIMP put_AuthorizationEndpoint(BSTR value) override;
  STDMETHODIMP get_DeviceAuthorizationEndpoint(BSTR* value) override;
  STDMETHODIMP put_DeviceAuthorizationEndpoint(BSTR value) override;
  STDMETHODIMP get_ClientId(BSTR* value) override;
  STDMETHODIMP put_ClientId(BSTR value) override;
  STDMETHODIMP get_ClientSecret(BSTR* value) override;
  STDMETHODIMP put_ClientSecret(BSTR value) override;
  STDMETHODIMP get_Scope(BSTR* value) override;
  STDMETHODIMP put_Scope(BSTR value) override;
  STDMETHODIMP get_TimeOut(LONG* value) override;
  STDMETHODIMP put_TimeOut(LONG value) override;
  STDMETHODIMP get_TokenFile(BSTR* value) override;
  STDMETHODIMP put_TokenFile(BSTR value) override;
  STDMETHODIMP get_OpenBrowser(VARIANT_BOOL* value) override;
  STDMETHODIMP put_OpenBrowser(VARIANT_BOOL value) override;
  STDMETHODIMP get_AccessToken(BSTR* value) override;
  STDMETHODIMP get_ExpiresIn(LONG* value) override;
  STDMETHODIMP get_RefreshToken(BSTR* value) override;
  STDMETHODIMP put_RefreshToken(BSTR value) override;
  STDMETHODIMP get_UserCode(BSTR* value) override;
  STDMETHODIMP get_VerificationUri(BSTR* value) override;
  STDMETHODIMP get_VerificationUriComplete(BSTR* value) override;
  STDMETHODIMP get_AuthorizationAddress(BSTR* value) override;
  STDMETHODIMP get_RedirectUri(BSTR* value) override;
  STDMETHODIMP RequestToken() override;
  STDMETHODIMP Refresh() override;
  STDMETHODIMP StartDeviceAuthorization() override;
  STDMETHODIMP WaitForDeviceAuthorization(LONG seconds) override;
  STDMETHODIMP StartAuthorization(BSTR* address) override;
  STDMETHODIMP WaitForAuthorization(LONG seconds) override;
  STDMETHODIMP LoadTokens(VARIANT_BOOL* loaded) override;
  STDMETHODIMP SaveTokens() override;
  STDMETHODIMP get_LastError(LONG* value) override;

  // The token to sign in with, for the protocol objects: current, refreshed
  // when needed. False with the error text in `error`.
  bool CurrentToken(std::string& token, std::string& error);

 private:
  HRESULT Outcome(bool succeeded);
  LONG last_error_number_ = 0;

  oauth2::TokenClient client_;
};

}  // namespace vesk::com
