#include "engine/oauth2/token_client.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/oauth2/form.h"
#include "engine/platform/browser.h"
#include "engine/platform/crypto.h"
#include "engine/platform/files.h"
#include "engine/platform/http.h"
#include "engine/platform/sockets.h"
#include "engine/platform/user_secret.h"
#include "engine/protocols/sign_in.h"

namespace vesk::oauth2 {
namespace {

using Json = nlohmann::json;

constexpr const char* kDeviceGrantType = "urn:ietf:params:oauth:grant-type:device_code";
// The first bytes of a token file, before the sealed tokens.
constexpr std::string_view kTokenFileMagic = "VESKOAUTH2TOKENS1\n";
// A token file is small; anything far larger is not one.
constexpr uint64_t kLargestTokenFile = 1 << 20;
// RFC 8628 section 3.5: a slow_down answer adds five seconds to the interval.
constexpr int kSlowDownSeconds = 5;

std::int64_t SystemNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A string member of a JSON object, or empty.
std::string TextOf(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A number of seconds given as a JSON number or, as some servers send it, a
// numeric string; `fallback` when absent or unusable.
std::int64_t SecondsOf(const Json& object, const char* name, std::int64_t fallback) {
  const auto found = object.find(name);
  if (found == object.end()) return fallback;
  if (found->is_number_integer() || found->is_number_unsigned()) return found->get<std::int64_t>();
  if (found->is_number_float()) return static_cast<std::int64_t>(found->get<double>());
  if (found->is_string()) {
    const std::string text = found->get<std::string>();
    if (!text.empty() && text.size() < 12 && std::all_of(text.begin(), text.end(), [](char c) {
          return c >= '0' && c <= '9';
        })) {
      return std::stoll(text);
    }
  }
  return fallback;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, uint32_t& error) {
  const files::FileHandle file = files::OpenForRead(path);
  if (file == files::kNoFile) {
    error = files::LastError();
    return false;
  }
  uint64_t size = 0;
  bool ok = files::Size(file, &size) && size <= kLargestTokenFile;
  if (ok) {
    bytes.resize(static_cast<size_t>(size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
      size_t got = 0;
      ok = files::Read(file, bytes.data() + done, bytes.size() - done, &got) && got > 0;
      done += got;
    }
  }
  error = ok ? 0 : files::LastError();
  files::Close(file);
  return ok;
}

}  // namespace

void Tokens::Clear() {
  WipeText(access_token);
  WipeText(refresh_token);
  scope.clear();
  expires_at = 0;
}

TokenClient::TokenClient() : open_browser(&browser::Open), now(&SystemNow) {}

TokenClient::~TokenClient() {
  redirect_.reset();
  WipeText(settings_.client_secret);
  WipeText(device_.device_code);
  WipeText(code_verifier_);
}

bool TokenClient::Fail(std::string text) {
  last_error_ = std::move(text);
  return false;
}

std::int64_t TokenClient::SecondsLeft() const {
  if (tokens_.access_token.empty() || tokens_.expires_at == 0) return 0;
  return tokens_.expires_at - now();
}

// Token endpoints carry secrets: only https addresses are taken (RFC 6749
// sections 3.1 and 3.2).
bool TokenClient::CheckAddress(const std::string& url, const char* setting_name) {
  if (url.empty()) return Fail(FormatMessageText(kMsgOAuthSettingMissing, setting_name));
  const bool https = url.size() > 8 && url.compare(0, 8, "https://") == 0;
  if (!https || url.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos) {
    return Fail(FormatMessageText(kMsgOAuthBadAddress, url.c_str()));
  }
  return true;
}

bool TokenClient::CheckSettingsText() {
  for (const std::string* text : {&settings_.client_id, &settings_.client_secret, &settings_.scope}) {
    if (HasLineBreakOrNul(*text)) return Fail(MessageText(kMsgOAuthUnsafeText));
  }
  if (settings_.client_id.empty()) return Fail(FormatMessageText(kMsgOAuthSettingMissing, "ClientId"));
  return true;
}

void TokenClient::AddClient(FormBody& form) const {
  // The client's credentials in the body (RFC 6749 section 2.3.1); a public
  // client sends its identifier alone.
  form.Add("client_id", settings_.client_id).Add("client_secret", settings_.client_secret);
}

bool TokenClient::Post(const std::string& url, const std::string& body, std::string& json_text,
                       std::string* error_code) {
  http::Request request;
  request.url = url;
  request.body = body;
  request.timeout_ms = settings_.timeout_ms > 0 ? settings_.timeout_ms : 30000;
  request.extra_ca_file = settings_.extra_ca_file;
  http::Response response;
  std::string transport_error;
  const bool answered = http::PostForm(request, response, transport_error);
  WipeText(request.body);
  if (!answered) return Fail(FormatMessageText(kMsgOAuthUnreachable, url.c_str(), transport_error.c_str()));
  const Json reply = Json::parse(response.body, nullptr, false);
  if (response.status == 200 && reply.is_object()) {
    json_text = std::move(response.body);
    return true;
  }
  // RFC 6749 section 5.2: error and error_description.
  const std::string code = reply.is_object() ? TextOf(reply, "error") : std::string();
  const std::string description = reply.is_object() ? TextOf(reply, "error_description") : std::string();
  if (error_code) *error_code = code;
  WipeText(response.body);
  if (code.empty()) return Fail(FormatMessageText(kMsgOAuthHttpStatus, url.c_str(), static_cast<int>(response.status)));
  if (description.empty()) return Fail(FormatMessageText(kMsgOAuthErrorCode, url.c_str(), code.c_str()));
  return Fail(FormatMessageText(kMsgOAuthError, url.c_str(), code.c_str(), description.c_str()));
}

bool TokenClient::TakeTokens(const std::string& json_text, const std::string& url) {
  const Json reply = Json::parse(json_text, nullptr, false);
  const std::string access_token = TextOf(reply, "access_token");
  if (access_token.empty()) return Fail(FormatMessageText(kMsgOAuthNoToken, url.c_str(), "no access_token in the reply"));
  if (HasLineBreakOrNul(access_token)) {
    return Fail(FormatMessageText(kMsgOAuthNoToken, url.c_str(), "the access token holds CR, LF or NUL"));
  }
  const std::string token_type = TextOf(reply, "token_type");
  std::string lower_type = token_type;
  std::transform(lower_type.begin(), lower_type.end(), lower_type.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (!token_type.empty() && lower_type != "bearer") {
    return Fail(FormatMessageText(kMsgOAuthNoToken, url.c_str(), ("a token of type " + token_type).c_str()));
  }
  Credentials::Replace(tokens_.access_token, access_token);
  const std::int64_t lifetime = SecondsOf(reply, "expires_in", 0);
  tokens_.expires_at = lifetime > 0 ? now() + lifetime : 0;
  const std::string refresh_token = TextOf(reply, "refresh_token");
  if (!refresh_token.empty() && !HasLineBreakOrNul(refresh_token)) Credentials::Replace(tokens_.refresh_token, refresh_token);
  const std::string scope = TextOf(reply, "scope");
  tokens_.scope = scope.empty() ? settings_.scope : scope;
  if (!settings_.token_file.empty()) return SaveTokens();
  return true;
}

bool TokenClient::RequestTokens(const std::string& body, std::string* error_code) {
  std::string reply;
  const bool ok = Post(settings_.token_endpoint, body, reply, error_code) && TakeTokens(reply, settings_.token_endpoint);
  WipeText(reply);
  return ok;
}

bool TokenClient::RequestClientCredentials() {
  if (!CheckAddress(settings_.token_endpoint, "TokenEndpoint") || !CheckSettingsText()) return false;
  FormBody form;
  form.Add("grant_type", "client_credentials").Add("scope", settings_.scope);
  AddClient(form);
  return RequestTokens(form.text());
}

bool TokenClient::Refresh() {
  if (!CheckAddress(settings_.token_endpoint, "TokenEndpoint") || !CheckSettingsText()) return false;
  if (tokens_.refresh_token.empty()) return Fail(FormatMessageText(kMsgOAuthSettingMissing, "RefreshToken"));
  FormBody form;
  form.Add("grant_type", "refresh_token").Add("refresh_token", tokens_.refresh_token).Add("scope", settings_.scope);
  AddClient(form);
  return RequestTokens(form.text());
}

bool TokenClient::CurrentToken(std::string& token) {
  const bool fresh = !tokens_.access_token.empty() &&
                     (tokens_.expires_at == 0 || tokens_.expires_at - now() >= kRefreshMarginSeconds);
  if (!fresh) {
    bool renewed = false;
    if (!tokens_.refresh_token.empty()) {
      renewed = Refresh();
    } else if (!settings_.client_secret.empty() && !settings_.token_endpoint.empty()) {
      renewed = RequestClientCredentials();
    } else if (tokens_.access_token.empty()) {
      return Fail(MessageText(kMsgOAuthNoTokenYet));
    } else if (SecondsLeft() <= 0) {
      return Fail(FormatMessageText(kMsgOAuthSettingMissing, "RefreshToken"));
    }
    // A token that could not be renewed is still handed out while it lasts;
    // the reason stays in the error text.
    if (!renewed && (tokens_.access_token.empty() || SecondsLeft() <= 0)) return false;
  }
  token = tokens_.access_token;
  return true;
}

bool TokenClient::Renew() {
  if (!tokens_.refresh_token.empty()) return Refresh();
  if (!settings_.client_secret.empty() && !settings_.token_endpoint.empty()) return RequestClientCredentials();
  return Fail(FormatMessageText(kMsgOAuthSettingMissing, "RefreshToken"));
}

void TokenClient::SetRefreshToken(std::string token) {
  Credentials::Replace(tokens_.refresh_token, std::move(token));
  WipeText(tokens_.access_token);
  tokens_.expires_at = 0;
}

bool TokenClient::StartDeviceAuthorization() {
  if (!CheckAddress(settings_.device_authorization_endpoint, "DeviceAuthorizationEndpoint") ||
      !CheckAddress(settings_.token_endpoint, "TokenEndpoint") || !CheckSettingsText()) {
    return false;
  }
  FormBody form;
  form.Add("scope", settings_.scope);
  AddClient(form);
  std::string json_text;
  if (!Post(settings_.device_authorization_endpoint, form.text(), json_text, nullptr)) return false;
  const Json reply = Json::parse(json_text, nullptr, false);
  DeviceGrant grant;
  grant.device_code = TextOf(reply, "device_code");
  grant.user_code = TextOf(reply, "user_code");
  grant.verification_uri = TextOf(reply, "verification_uri");
  // Some providers spell it as the drafts of the protocol did.
  if (grant.verification_uri.empty()) grant.verification_uri = TextOf(reply, "verification_url");
  grant.verification_uri_complete = TextOf(reply, "verification_uri_complete");
  grant.interval_seconds = static_cast<int>(std::clamp<std::int64_t>(SecondsOf(reply, "interval", 5), 1, 3600));
  grant.expires_at = now() + std::max<std::int64_t>(SecondsOf(reply, "expires_in", 1800), 1);
  if (grant.device_code.empty() || grant.user_code.empty() || grant.verification_uri.empty()) {
    return Fail(FormatMessageText(kMsgOAuthNoToken, settings_.device_authorization_endpoint.c_str(),
                                  "no device_code, user_code or verification_uri in the reply"));
  }
  WipeText(device_.device_code);
  device_ = std::move(grant);
  return true;
}

bool TokenClient::WaitForDeviceAuthorization(int limit_seconds) {
  if (device_.device_code.empty()) return Fail(FormatMessageText(kMsgOAuthOutOfOrder, "StartDeviceAuthorization"));
  const std::int64_t deadline = std::min<std::int64_t>(now() + std::max(limit_seconds, 0), device_.expires_at);
  FormBody form;
  form.Add("grant_type", kDeviceGrantType).Add("device_code", device_.device_code);
  AddClient(form);
  for (;;) {
    if (now() + device_.interval_seconds <= deadline) {
      sockets::SleepMilliseconds(device_.interval_seconds * 1000);
    } else {
      // The next poll would come after the deadline: wait out the rest.
      const std::int64_t rest = deadline - now();
      if (rest > 0) sockets::SleepMilliseconds(static_cast<int>(rest * 1000));
      // When the script's limit came first, the wait ends here; when the
      // code's own life ended, one last poll gives the server's word on it.
      if (now() < device_.expires_at) return Fail(FormatMessageText(kMsgOAuthWaitTimedOut, limit_seconds));
    }
    std::string error_code;
    if (RequestTokens(form.text(), &error_code)) {
      WipeText(device_.device_code);
      return true;
    }
    // RFC 8628 section 3.5.
    const bool pending = error_code == "authorization_pending" || error_code == "slow_down";
    if (pending && now() >= deadline) return Fail(FormatMessageText(kMsgOAuthWaitTimedOut, limit_seconds));
    if (error_code == "slow_down") device_.interval_seconds += kSlowDownSeconds;
    if (pending) continue;
    // access_denied, expired_token and any other refusal end this code with
    // the server's own words; a failed transport leaves it for another Wait.
    if (!error_code.empty()) WipeText(device_.device_code);
    return false;
  }
}

bool TokenClient::StartAuthorization() {
  if (!CheckAddress(settings_.authorization_endpoint, "AuthorizationEndpoint") ||
      !CheckAddress(settings_.token_endpoint, "TokenEndpoint") || !CheckSettingsText()) {
    return false;
  }
  // RFC 7636 section 4.1: 32 random bytes make a 43-character verifier.
  std::string verifier_bytes, state_bytes;
  if (!crypto::RandomBytes(verifier_bytes, 32) || !crypto::RandomBytes(state_bytes, 16)) {
    return Fail(FormatMessageText(kMsgOAuthListenerFailed, 0));
  }
  WipeText(code_verifier_);
  code_verifier_ = Base64Url(verifier_bytes);
  WipeText(verifier_bytes);
  state_ = Base64Url(state_bytes);
  redirect_ = std::make_unique<LoopbackRedirect>();
  int socket_error = 0;
  if (!redirect_->Start(state_, socket_error)) {
    redirect_.reset();
    return Fail(FormatMessageText(kMsgOAuthListenerFailed, socket_error));
  }
  // RFC 8252 section 7.3: the loopback address itself, not "localhost".
  redirect_uri_ = "http://127.0.0.1:" + std::to_string(redirect_->port()) + "/";
  FormBody query;
  query.Add("response_type", "code")
      .Add("client_id", settings_.client_id)
      .Add("redirect_uri", redirect_uri_)
      .Add("scope", settings_.scope)
      .Add("state", state_)
      .Add("code_challenge", Base64Url(crypto::Sha256(code_verifier_)))
      .Add("code_challenge_method", "S256");
  const char separator = settings_.authorization_endpoint.find('?') == std::string::npos ? '?' : '&';
  authorization_address_ = settings_.authorization_endpoint + separator + query.text();
  if (settings_.open_browser) {
    std::string error;
    if (!open_browser(authorization_address_, error)) {
      // The listener stays: the address may still be shown to the user.
      return Fail(FormatMessageText(kMsgOAuthNoBrowser, error.c_str()));
    }
  }
  return true;
}

bool TokenClient::WaitForAuthorization(int limit_seconds) {
  if (!redirect_) return Fail(FormatMessageText(kMsgOAuthOutOfOrder, "StartAuthorization"));
  std::map<std::string, std::string> query;
  const LoopbackRedirect::Outcome outcome = redirect_->Wait(std::max(limit_seconds, 0) * 1000, query);
  if (outcome == LoopbackRedirect::Outcome::kWaiting) return Fail(FormatMessageText(kMsgOAuthWaitTimedOut, limit_seconds));
  // One redirect per sign-in: whatever came, this one is over.
  redirect_.reset();
  if (outcome == LoopbackRedirect::Outcome::kWrongState) return Fail(MessageText(kMsgOAuthStateMismatch));
  const std::string& endpoint = settings_.authorization_endpoint;
  if (query.count("error")) {
    const std::string& code = query["error"];
    const std::string& description = query["error_description"];
    if (description.empty()) return Fail(FormatMessageText(kMsgOAuthErrorCode, endpoint.c_str(), code.c_str()));
    return Fail(FormatMessageText(kMsgOAuthError, endpoint.c_str(), code.c_str(), description.c_str()));
  }
  if (query["code"].empty()) {
    return Fail(FormatMessageText(kMsgOAuthNoToken, endpoint.c_str(), "the redirect carried no code"));
  }
  FormBody form;
  form.Add("grant_type", "authorization_code")
      .Add("code", query["code"])
      .Add("redirect_uri", redirect_uri_)
      .Add("code_verifier", code_verifier_);
  AddClient(form);
  WipeText(query["code"]);
  const bool ok = RequestTokens(form.text());
  WipeText(code_verifier_);
  return ok;
}

bool TokenClient::SaveTokens() {
  const std::string& path = settings_.token_file;
  if (path.empty()) return Fail(FormatMessageText(kMsgOAuthSettingMissing, "TokenFile"));
  // A file without a token would only be refused when it is loaded.
  if (tokens_.access_token.empty() && tokens_.refresh_token.empty()) return Fail(MessageText(kMsgOAuthNoTokenYet));
  Json content = {{"access_token", tokens_.access_token},
                  {"refresh_token", tokens_.refresh_token},
                  {"scope", tokens_.scope},
                  {"expires_at", tokens_.expires_at}};
  std::string clear = content.dump();
  content = Json();
  std::string sealed, error;
  const bool was_sealed = user_secret::Seal(clear, sealed, error);
  WipeText(clear);
  if (!was_sealed) return Fail(FormatMessageText(kMsgTokenFileUnwritable, path.c_str(), error.c_str()));
  const std::string bytes = std::string(kTokenFileMagic) + sealed;
  if (!files::WriteWholeFile(path, bytes.data(), bytes.size())) {
    return Fail(FormatMessageText(kMsgTokenFileUnwritable, path.c_str(),
                                  ("system error " + std::to_string(files::LastError())).c_str()));
  }
  return true;
}

bool TokenClient::LoadTokens() {
  const std::string& path = settings_.token_file;
  if (path.empty()) return Fail(FormatMessageText(kMsgOAuthSettingMissing, "TokenFile"));
  std::string bytes;
  uint32_t file_error = 0;
  if (!ReadWholeFile(path, bytes, file_error)) {
    if (file_error == files::kErrorFileNotFound || file_error == files::kErrorPathNotFound) {
      last_error_.clear();  // no file yet: a first run
      return false;
    }
    return Fail(FormatMessageText(kMsgTokenFileUnreadable, path.c_str(),
                                  ("system error " + std::to_string(file_error)).c_str()));
  }
  if (bytes.compare(0, kTokenFileMagic.size(), kTokenFileMagic) != 0) {
    return Fail(FormatMessageText(kMsgTokenFileUnreadable, path.c_str(), "it is not a VeskMail token file"));
  }
  std::string clear, error;
  if (!user_secret::Open(std::string_view(bytes).substr(kTokenFileMagic.size()), clear, error)) {
    return Fail(FormatMessageText(kMsgTokenFileUnreadable, path.c_str(), error.c_str()));
  }
  const Json content = Json::parse(clear, nullptr, false);
  WipeText(clear);
  if (!content.is_object() || (TextOf(content, "access_token").empty() && TextOf(content, "refresh_token").empty())) {
    return Fail(FormatMessageText(kMsgTokenFileUnreadable, path.c_str(), "it holds no token"));
  }
  Credentials::Replace(tokens_.access_token, TextOf(content, "access_token"));
  Credentials::Replace(tokens_.refresh_token, TextOf(content, "refresh_token"));
  tokens_.scope = TextOf(content, "scope");
  tokens_.expires_at = SecondsOf(content, "expires_at", 0);
  return true;
}

}  // namespace vesk::oauth2
