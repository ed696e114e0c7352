#pragma once

// OAuth 2 access tokens for signing in to mail servers: the grants a mail
// script needs (RFC 6749 client credentials 4.4 and refresh 6, RFC 8628
// device authorization, RFC 6749 4.1 authorization code with PKCE S256 of
// RFC 7636 through a loopback redirect of RFC 8252), a token held with its
// expiry and refreshed on its own, and a token file sealed for the user.
//
// Every operation gives true or false and keeps its error text, which for a
// refusal names the endpoint and carries its `error` and `error_description`.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/oauth2/loopback_redirect.h"

namespace vesk::oauth2 {

struct Settings {
  std::string token_endpoint;
  std::string authorization_endpoint;
  std::string device_authorization_endpoint;
  std::string client_id;
  std::string client_secret;  // empty for a public client
  std::string scope;          // space-separated
  // Each request to an endpoint, in milliseconds.
  int timeout_ms = 30000;
  // A file the tokens are written to whenever new ones come, and read from
  // by LoadTokens; empty for none.
  std::string token_file;
  // Whether StartAuthorization opens the system's browser itself.
  bool open_browser = true;
  // PEM file of extra trusted certificate authorities (native side only).
  std::string extra_ca_file;
};

struct Tokens {
  Tokens() = default;
  Tokens(const Tokens&) = delete;
  Tokens& operator=(const Tokens&) = delete;
  ~Tokens() { Clear(); }
  void Clear();

  std::string access_token;
  std::string refresh_token;
  std::string scope;
  // Unix time at which the access token ends; 0 when the server did not say.
  std::int64_t expires_at = 0;
};

// What a device authorization request gave (RFC 8628 section 3.2).
struct DeviceGrant {
  std::string device_code;
  std::string user_code;
  std::string verification_uri;
  std::string verification_uri_complete;
  int interval_seconds = 5;
  std::int64_t expires_at = 0;
};

class TokenClient {
 public:
  // An access token with less than this much left is refreshed before use.
  static constexpr int kRefreshMarginSeconds = 60;

  TokenClient();
  TokenClient(const TokenClient&) = delete;
  TokenClient& operator=(const TokenClient&) = delete;
  ~TokenClient();

  Settings& settings() { return settings_; }
  const Tokens& tokens() const { return tokens_; }
  const DeviceGrant& device_grant() const { return device_; }
  const std::string& authorization_address() const { return authorization_address_; }
  const std::string& redirect_uri() const { return redirect_uri_; }
  const std::string& last_error() const { return last_error_; }

  // Seconds the access token has left (negative once ended); 0 when there
  // is no token or its end is not known.
  std::int64_t SecondsLeft() const;

  // Client credentials grant: the client signs in as itself.
  bool RequestClientCredentials();
  // Refresh grant with the refresh token held; a new refresh token replaces
  // the old one, and without one the old one stays.
  bool Refresh();
  // The access token to sign in with, refreshed first when less than a
  // minute is left: by the refresh token, or, for a client with a secret and
  // no refresh token, by asking for client credentials again.
  bool CurrentToken(std::string& token);
  // A new access token now, whatever the one held says of its end (a
  // provider refused it): by the refresh token, or by client credentials
  // for a client with a secret and no refresh token.
  bool Renew();
  // Replaces the refresh token (and forgets the access token).
  void SetRefreshToken(std::string token);

  // Device authorization: Start asks for a user code and the address to show
  // the user; Wait polls the token endpoint at the interval the server asks
  // for, up to `limit_seconds` (and no longer than the code lives).
  bool StartDeviceAuthorization();
  bool WaitForDeviceAuthorization(int limit_seconds);

  // Authorization code with PKCE: Start listens on 127.0.0.1, makes the
  // authorization address (with a fresh state and code challenge) and opens
  // the browser at it unless told not to; Wait takes the redirect, checks
  // its state and exchanges the code.
  bool StartAuthorization();
  bool WaitForAuthorization(int limit_seconds);

  // Reads the tokens from the token file: false with an empty error text
  // when there is no such file yet, false with an error when it cannot be
  // read or was not sealed for this user.
  bool LoadTokens();
  // Writes the tokens to the token file now.
  bool SaveTokens();

  // How the browser is opened (the system's browser unless replaced).
  std::function<bool(const std::string& url, std::string& error)> open_browser;
  // The current Unix time (the system clock unless replaced).
  std::function<std::int64_t()> now;

 private:
  bool Fail(std::string text);
  bool CheckAddress(const std::string& url, const char* setting_name);
  bool CheckSettingsText();
  // POSTs a form and judges the JSON reply; true with the reply's JSON text
  // when the endpoint answered 200 with a JSON object.
  bool Post(const std::string& url, const std::string& body, std::string& json_text, std::string* error_code);
  // Takes a token reply; writes the token file when one is named.
  bool TakeTokens(const std::string& json_text, const std::string& url);
  bool RequestTokens(const std::string& body, std::string* error_code = nullptr);
  void AddClient(class FormBody& form) const;

  Settings settings_;
  Tokens tokens_;
  DeviceGrant device_;
  std::string last_error_;
  // Browser sign-in in progress.
  std::unique_ptr<LoopbackRedirect> redirect_;
  std::string code_verifier_;
  std::string state_;
  std::string authorization_address_;
  std::string redirect_uri_;
};

}  // namespace vesk::oauth2
