// The text forms of OAuth 2 (form bodies, query strings, base64url); then the
// grants against the local OAuth 2 server of the tests (tools/oauth2_server.sh:
// npm's oauth2-mock-server behind a scripted layer of our own, HTTPS on
// loopback with the private CA), and the token file. These run when
// VESK_OAUTH2_URL and VESK_OAUTH2_CA_FILE are set. What a script meets
// through the DLL (a wrong secret, an endpoint the certificate does not
// name, a redirect with another state, the token file read by a later
// object, signing in at Dovecot with the tokens) is
// tests/scripts/servers/oauth2_sign_in.vbs; here is what only the engine
// shows: the exact addresses, refresh timing and every error text.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/oauth2/form.h"
#include "engine/oauth2/token_client.h"
#include "engine/platform/crypto.h"
#include "support/fake_server.h"
#include "support/test_streams.h"

namespace vesk::oauth2 {
namespace {

// Form bodies leave out empty values and escape all but unreserved
// characters; query strings undo escapes and "+" and keep the first of a
// repeated name; base64url as in RFC 7636 appendix B (a verifier and its S256
// challenge).
TEST(OAuthForm, BodiesQueriesAndBase64Url) {
  FormBody form;
  form.Add("grant_type", "client_credentials")
      .Add("scope", "https://mail.example/.default offline_access")
      .Add("client_secret", "a+b/c=d&e%f\xC3\xA9")
      .Add("empty", "");
  EXPECT_EQ(form.text(),
            "grant_type=client_credentials&scope=https%3A%2F%2Fmail.example%2F.default%20offline_access"
            "&client_secret=a%2Bb%2Fc%3Dd%26e%25f%C3%A9");
  const auto query = ParseQuery("code=abc%2Fdef&state=x+y&state=second&error_description=a%20b%ZZ&flag");
  EXPECT_EQ(query.at("code"), "abc/def");
  EXPECT_EQ(query.at("state"), "x y");
  EXPECT_EQ(query.at("error_description"), "a b%ZZ");  // a malformed escape stays as it is
  EXPECT_EQ(query.at("flag"), "");
  EXPECT_EQ(PercentDecode(PercentEncode("\r\n\x01 ~\xC3\xA9")), "\r\n\x01 ~\xC3\xA9");

  const std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
  EXPECT_EQ(Base64Url(crypto::Sha256(verifier)), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  const unsigned char octets[] = {116, 24, 223, 180, 151, 153, 224, 37, 79, 250, 96,  125, 216, 173, 187, 186,
                                  22,  212, 37, 77, 105, 214, 191, 240, 91, 88, 5, 88, 83, 132, 141, 121};
  EXPECT_EQ(Base64Url(std::string(reinterpret_cast<const char*>(octets), sizeof octets)), verifier);
  EXPECT_EQ(Base64Url("\xFB\xFF"), "-_8");
}

// A token file is written only with a token in it: one without would be
// refused when loaded.
TEST(TokenFile, IsNotWrittenWithoutATokenInIt) {
  TokenClient client;
  const auto path = std::filesystem::temp_directory_path() / ("vesk-empty-" + std::to_string(::getpid()) + ".tok");
  client.settings().token_file = path.string();
  EXPECT_FALSE(client.SaveTokens());
  EXPECT_EQ(client.last_error(), MessageText(kMsgOAuthNoTokenYet));
  EXPECT_FALSE(std::filesystem::exists(path));
}

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Plays the browser: follows the address through every redirect, the last
// of which reaches the loopback listener. Gives the final HTTP status.
long Browse(const std::string& url) {
  CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_CAINFO, Setting("VESK_OAUTH2_CA_FILE").c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return status;
}

class OAuth2Server : public ::testing::Test {
 protected:
  void SetUp() override {
    url_ = Setting("VESK_OAUTH2_URL");
    if (url_.empty() || Setting("VESK_OAUTH2_CA_FILE").empty()) GTEST_SKIP() << "no local OAuth 2 server";
    Configure(client_, "vesk-app", "");
  }
  void TearDown() override {
    JoinBrowsers();
    if (!file_.empty()) std::filesystem::remove(file_);
  }

  void Configure(TokenClient& client, const std::string& id, const std::string& secret) {
    Settings& settings = client.settings();
    settings.token_endpoint = url_ + "/token";
    settings.authorization_endpoint = url_ + "/authorize";
    settings.device_authorization_endpoint = url_ + "/device_authorization";
    settings.client_id = id;
    settings.client_secret = secret;
    settings.scope = "mail offline_access";
    settings.extra_ca_file = Setting("VESK_OAUTH2_CA_FILE");
    settings.timeout_ms = 10000;
  }

  // The browser of a sign-in: visits `address` (the one StartAuthorization
  // made, unless a test gives another) on a thread of its own.
  void UseBrowser(TokenClient& client, std::function<std::string(const std::string&)> address = nullptr) {
    client.open_browser = [this, address](const std::string& url, std::string&) {
      const std::string visit = address ? address(url) : url;
      browsers_.emplace_back([this, visit] { browser_status_ = Browse(visit); });
      return true;
    };
  }

  // The browser has read the listener's answer once its thread ends.
  void JoinBrowsers() {
    for (std::thread& browser : browsers_) browser.join();
    browsers_.clear();
  }

  std::string url_;
  TokenClient client_;
  std::vector<std::thread> browsers_;
  std::atomic<long> browser_status_{0};
  std::string file_;
};

// A client credentials token is used while it lasts; once it has ended it is
// asked for anew with the secret, and refused without one.
TEST_F(OAuth2Server, ClientCredentialsGiveABearerTokenUsedWhileItLasts) {
  Configure(client_, "vesk-service", "vesk-service-secret");
  ASSERT_TRUE(client_.RequestClientCredentials()) << client_.last_error();
  const std::string issued = client_.tokens().access_token;
  const std::int64_t expires_at = client_.tokens().expires_at;
  EXPECT_EQ(std::count(issued.begin(), issued.end(), '.'), 2);
  EXPECT_NEAR(static_cast<double>(client_.SecondsLeft()), 3600, 5);
  EXPECT_EQ(client_.tokens().scope, "mail offline_access");
  std::string token;
  ASSERT_TRUE(client_.CurrentToken(token));
  EXPECT_EQ(token, issued);  // fresh: not asked for again
  client_.settings().client_secret.clear();  // no way left to renew it
  client_.now = [expires_at] { return expires_at - 30; };  // half a minute left
  ASSERT_TRUE(client_.CurrentToken(token));
  EXPECT_EQ(token, issued);
  client_.now = [expires_at] { return expires_at + 1; };
  EXPECT_FALSE(client_.CurrentToken(token));
  EXPECT_EQ(client_.last_error(), "OAuth 2 needs the RefreshToken first");
  client_.settings().client_secret = "vesk-service-secret";
  ASSERT_TRUE(client_.CurrentToken(token)) << client_.last_error();
  EXPECT_EQ(client_.tokens().expires_at, expires_at + 1 + 3600);  // issued at the (faked) present
}

TEST_F(OAuth2Server, AnUnknownRefreshTokenIsRefusedWithTheEndpointsError) {
  client_.SetRefreshToken("not-a-refresh-token");
  EXPECT_FALSE(client_.Refresh());
  EXPECT_NE(client_.last_error().find("answered invalid_grant: The refresh token is unknown"), std::string::npos)
      << client_.last_error();
  std::string token;
  EXPECT_FALSE(client_.CurrentToken(token));
  EXPECT_NE(client_.last_error().find("invalid_grant"), std::string::npos);
}

// A description written with JSON escapes comes out as UTF-8; an endpoint
// that takes the request and never answers costs the time-out, not the
// server's own patience.
TEST_F(OAuth2Server, EscapedTextsBecomeUtf8AndASilentEndpointCostsTheTimeOut) {
  Configure(client_, "accent-refused", "");
  EXPECT_FALSE(client_.RequestClientCredentials());
  EXPECT_EQ(client_.last_error(), "OAuth 2 endpoint " + url_ +
                                      "/token answered invalid_client: Acc\xC3\xA8s refus\xC3\xA9 \xE6\x8B\x92\xE5\x90\xA6");
  Configure(client_, "silent", "");
  client_.settings().timeout_ms = 1500;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_.RequestClientCredentials());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << client_.last_error();
  EXPECT_NE(client_.last_error().find("/token cannot be reached: "), std::string::npos) << client_.last_error();
}

// Token endpoints: https only, no line breaks, and a port someone listens
// on. (An error ending in ": " goes on with the system's reason.)
TEST_F(OAuth2Server, AddressesMustBeHttpsAndReachable) {
  const std::string bad_address = "OAuth 2 address must start with https:// and hold no spaces, CR, LF or NUL: ";
  const std::string unused = ":" + std::to_string(testing::UnusedLoopbackPort());
  const std::string unreachable = "/token cannot be reached: ";
  const std::pair<std::string, std::string> cases[] = {
      {"http://localhost/token", bad_address + "\"http://localhost/token\""},
      {url_ + "/token\r\nX-Injected:1", bad_address + "\"" + url_ + "/token\r\nX-Injected:1\""},
      {"", "OAuth 2 needs the TokenEndpoint first"},
      {"https://127.0.0.1" + unused + "/token", "OAuth 2 endpoint https://127.0.0.1" + unused + unreachable},
  };
  Configure(client_, "vesk-service", "vesk-service-secret");
  for (const auto& [address, expected] : cases) {
    client_.settings().token_endpoint = address;
    EXPECT_FALSE(client_.RequestClientCredentials()) << address;
    const std::string& error = client_.last_error();
    EXPECT_EQ(expected.ends_with(": ") ? error.substr(0, expected.size()) : error, expected) << address;
  }
  Configure(client_, "vesk\r\napp", "");
  EXPECT_FALSE(client_.RequestClientCredentials());
  EXPECT_EQ(client_.last_error(), "Text for OAuth 2 must not contain CR, LF or NUL characters");
}

// A browser sign-in with PKCE whose tokens go into a file that shows none of
// them in clear: with less than a minute left the token is refreshed on its
// own and written back, a later run goes on from the file, and a damaged
// file and one that is no token file are refused.
TEST_F(OAuth2Server, BrowserSignInRefreshesWhenLessThanAMinuteIsLeftAndSealsTheTokenFile) {
  Configure(client_, "short-app", "");
  UseBrowser(client_);
  file_ = (std::filesystem::temp_directory_path() / ("vesk-oauth2-" + std::to_string(::getpid()) + ".tok")).string();
  client_.settings().token_file = file_;
  EXPECT_FALSE(client_.LoadTokens());  // a first run: no file yet, no error
  EXPECT_EQ(client_.last_error(), "");
  ASSERT_TRUE(client_.StartAuthorization()) << client_.last_error();
  const std::string& address = client_.authorization_address();
  EXPECT_TRUE(address.starts_with(
      url_ + "/authorize?response_type=code&client_id=short-app&redirect_uri=http%3A%2F%2F127.0.0.1%3A"))
      << address;
  EXPECT_NE(address.find("&code_challenge_method=S256"), std::string::npos);
  EXPECT_EQ(client_.redirect_uri().rfind("http://127.0.0.1:", 0), 0u);
  ASSERT_TRUE(client_.WaitForAuthorization(10)) << client_.last_error();
  JoinBrowsers();
  EXPECT_EQ(browser_status_, 200);
  const std::string first_token = client_.tokens().access_token;
  const std::string first_refresh = client_.tokens().refresh_token;
  EXPECT_FALSE(first_refresh.empty());
  EXPECT_NEAR(static_cast<double>(client_.SecondsLeft()), 61, 3);
  const std::string stored = testing::ReadWholeFile(file_);
  for (const std::string& shown : {first_token, first_token.substr(0, 40),
                                   first_token.substr(first_token.size() - 40), first_refresh}) {
    EXPECT_EQ(stored.find(shown), std::string::npos) << shown;
  }

  std::string token;
  ASSERT_TRUE(client_.CurrentToken(token));
  EXPECT_EQ(token, first_token);  // still a minute left
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ASSERT_TRUE(client_.CurrentToken(token)) << client_.last_error();
  EXPECT_NE(token, first_token);  // refreshed on its own
  EXPECT_NE(client_.tokens().refresh_token, first_refresh);
  EXPECT_NEAR(static_cast<double>(client_.SecondsLeft()), 61, 3);

  TokenClient later;
  later.settings().token_file = file_;
  ASSERT_TRUE(later.LoadTokens()) << later.last_error();
  EXPECT_EQ(later.tokens().access_token, token);
  EXPECT_EQ(later.tokens().refresh_token, client_.tokens().refresh_token);
  EXPECT_EQ(later.tokens().expires_at, client_.tokens().expires_at);

  std::string damaged = testing::ReadWholeFile(file_);
  damaged[damaged.size() - 3] ^= 0x55;
  std::ofstream(file_, std::ios::binary | std::ios::trunc) << damaged;
  EXPECT_FALSE(later.LoadTokens());
  EXPECT_NE(later.last_error().find("cannot be read: the data was not sealed for this user or is damaged"),
            std::string::npos)
      << later.last_error();
  std::ofstream(file_, std::ios::binary | std::ios::trunc) << "access_token=abc";
  EXPECT_FALSE(later.LoadTokens());
  EXPECT_EQ(later.last_error(), "Token file \"" + file_ + "\" cannot be read: it is not a VeskMail token file");
}

TEST_F(OAuth2Server, BrowserSignInEndsAtTheTimeLimitAndReportsARedirectedError) {
  client_.settings().open_browser = false;
  ASSERT_TRUE(client_.StartAuthorization());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_.WaitForAuthorization(1));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
  EXPECT_EQ(client_.last_error(), "No sign-in within 1 seconds");

  // The redirect the server sends when the user says no; a stray request
  // (a favicon) before it is answered and does not end the sign-in.
  const std::string& address = client_.authorization_address();
  const size_t at = address.find("&state=") + 7;
  const std::string state = address.substr(at, address.find('&', at) - at);
  EXPECT_EQ(Browse(client_.redirect_uri() + "favicon.ico"), 404);
  EXPECT_EQ(Browse(client_.redirect_uri() + "?error=access_denied&error_description=User%20said%20no&state=" + state),
            200);
  EXPECT_FALSE(client_.WaitForAuthorization(5));
  EXPECT_EQ(client_.last_error(), "OAuth 2 endpoint " + url_ + "/authorize answered access_denied: User said no");
  EXPECT_FALSE(client_.WaitForAuthorization(1));  // that redirect ended the sign-in
  EXPECT_EQ(client_.last_error(), "StartAuthorization must come first");
}

// The server approves "device-approve" at its third poll and refuses any poll
// of "device-slow" sooner than its interval (slow_down), which must grow.
TEST_F(OAuth2Server, DeviceSignInPollsUntilTheUserApprovesAndSlowsDownWhenTold) {
  Configure(client_, "device-approve", "");
  ASSERT_TRUE(client_.StartDeviceAuthorization()) << client_.last_error();
  const DeviceGrant& grant = client_.device_grant();
  EXPECT_EQ(grant.verification_uri, url_ + "/device");
  EXPECT_EQ(grant.verification_uri_complete, url_ + "/device?user_code=" + grant.user_code);
  EXPECT_EQ(grant.interval_seconds, 1);
  ASSERT_TRUE(client_.WaitForDeviceAuthorization(30)) << client_.last_error();
  EXPECT_FALSE(client_.tokens().access_token.empty());
  EXPECT_FALSE(client_.tokens().refresh_token.empty());
  EXPECT_FALSE(client_.WaitForDeviceAuthorization(5));  // the code was used up
  EXPECT_EQ(client_.last_error(), "StartDeviceAuthorization must come first");

  Configure(client_, "device-slow", "");
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.StartDeviceAuthorization() && client_.WaitForDeviceAuthorization(60)) << client_.last_error();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(13));
}

TEST_F(OAuth2Server, DeviceSignInEndsOnDenialExpiryOrTheScriptsTimeLimit) {
  for (const auto& [id, answer] : {std::pair{"device-deny", "access_denied: The user denied the request"},
                                   std::pair{"device-expire", "expired_token: The device code has expired"}}) {
    Configure(client_, id, "");
    ASSERT_TRUE(client_.StartDeviceAuthorization());
    EXPECT_FALSE(client_.WaitForDeviceAuthorization(30));
    EXPECT_EQ(client_.last_error(), "OAuth 2 endpoint " + url_ + "/token answered " + answer);
  }

  Configure(client_, "device-manual", "");
  ASSERT_TRUE(client_.StartDeviceAuthorization());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_.WaitForDeviceAuthorization(2));
  EXPECT_EQ(client_.last_error(), "No sign-in within 2 seconds");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vesk::oauth2
