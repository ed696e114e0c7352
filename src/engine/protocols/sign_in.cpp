#include "engine/protocols/sign_in.h"

#include "engine/common/ascii.h"
#include "engine/mime/transfer_codec.h"
#include "engine/net/transport_security.h"

namespace vesk {

void WipeText(std::string& text) {
  // Through a volatile pointer, so that the stores are not dropped as dead.
  volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = '\0';
  text.clear();
}

Credentials::~Credentials() {
  WipeText(user);
  WipeText(password);
  WipeText(access_token);
}

void Credentials::Replace(std::string& slot, std::string value) {
  WipeText(slot);
  slot.swap(value);
}

bool Credentials::AreSafe() const {
  return !HasLineBreakOrNul(user) && !HasLineBreakOrNul(password) && !HasLineBreakOrNul(access_token);
}

const char* MechanismName(AuthMethod method) {
  switch (method) {
    case AuthMethod::kPlain: return "PLAIN";
    case AuthMethod::kLogin: return "LOGIN";
    case AuthMethod::kXOAuth2: return "XOAUTH2";
    case AuthMethod::kOAuthBearer: return "OAUTHBEARER";
    default: return "";
  }
}

std::string Base64Text(std::string_view bytes) { return Base64Run(bytes); }

namespace {

// Encodes a response assembled in a scratch string that is wiped afterwards.
std::string EncodedAndWiped(std::string& scratch) {
  std::string encoded = Base64Text(scratch);
  WipeText(scratch);
  return encoded;
}

}  // namespace

std::string PlainResponse(const Credentials& credentials) {
  std::string raw;
  raw.append(1, '\0').append(credentials.user).append(1, '\0').append(credentials.password);
  return EncodedAndWiped(raw);
}

std::string XOAuth2Response(const Credentials& credentials) {
  std::string raw = "user=" + credentials.user + "\x01" "auth=Bearer " + credentials.access_token + "\x01\x01";
  return EncodedAndWiped(raw);
}

std::string OAuthBearerResponse(const Credentials& credentials) {
  std::string name;
  for (const char c : credentials.user) {
    if (c == ',') {
      name += "=2C";
    } else if (c == '=') {
      name += "=3D";
    } else {
      name += c;
    }
  }
  std::string raw = "n,a=" + name + ",\x01" "auth=Bearer " + credentials.access_token + "\x01\x01";
  WipeText(name);
  return EncodedAndWiped(raw);
}

bool OffersMechanism(std::string_view mechanisms, std::string_view mechanism) {
  return ListsCapability(mechanisms, mechanism);
}

}  // namespace vesk
