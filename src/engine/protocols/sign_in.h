#pragma once

// Signing in, shared by the SMTP, POP3 and IMAP4 dialogues: which method the
// caller asked for, the credentials, and the SASL responses they make
// (PLAIN of RFC 4616, the two prompts of LOGIN, and the XOAUTH2 bearer
// token format), each already in the base64 form that goes on the wire.

#include <string>
#include <string_view>

namespace vesk {

// The numbers are those of the automation enumeration.
enum class AuthMethod : int {
  kAutomatic = 0,  // the best the server offers for the credentials given
  kPlain = 1,      // SASL PLAIN
  kLogin = 2,      // SMTP: SASL LOGIN; POP3 and IMAP4: their USER/PASS or LOGIN command
  kXOAuth2 = 3,    // SASL XOAUTH2 with AccessToken
  kOAuthBearer = 4,  // SASL OAUTHBEARER (RFC 7628) with AccessToken
};

// Overwrites the text's bytes before it lets them go, so that a secret does
// not linger in freed memory.
void WipeText(std::string& text);

struct Credentials {
  Credentials() = default;
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  ~Credentials();

  void SetUser(std::string value) { Replace(user, std::move(value)); }
  void SetPassword(std::string value) { Replace(password, std::move(value)); }
  void SetAccessToken(std::string value) { Replace(access_token, std::move(value)); }
  static void Replace(std::string& slot, std::string value);

  // True when none of the three holds CR, LF or NUL: each of them ends up
  // inside a command line, decoded or not.
  bool AreSafe() const;

  std::string user;
  std::string password;
  std::string access_token;
  AuthMethod method = AuthMethod::kAutomatic;
};

// The mechanism a method names on the wire ("PLAIN", "LOGIN", "XOAUTH2",
// "OAUTHBEARER").
const char* MechanismName(AuthMethod method);

// Base64 without line breaks.
std::string Base64Text(std::string_view bytes);

// RFC 4616: authorization identity empty, then the user and the password,
// each after a NUL.
std::string PlainResponse(const Credentials& credentials);
// "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(const Credentials& credentials);
// RFC 7628 section 3.1: the GS2 header "n,a=" user ",", then ^A "auth=Bearer "
// token ^A ^A. The user is a saslname: "," and "=" are written =2C and =3D.
std::string OAuthBearerResponse(const Credentials& credentials);

// True when a list of SASL mechanisms (words separated by blanks, as after
// "AUTH" in an EHLO reply or "SASL" in CAPA) names `mechanism`.
bool OffersMechanism(std::string_view mechanisms, std::string_view mechanism);

}  // namespace vesk
