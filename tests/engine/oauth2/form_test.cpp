// The text forms of OAuth 2: form bodies, query strings, base64url.

#include <gtest/gtest.h>

#include "engine/oauth2/form.h"
#include "engine/platform/crypto.h"

namespace vesk::oauth2 {
namespace {

TEST(OAuthForm, EncodesEverythingButUnreservedCharactersAndLeavesOutEmptyValues) {
  FormBody form;
  form.Add("grant_type", "client_credentials")
      .Add("scope", "https://mail.example/.default offline_access")
      .Add("client_secret", "a+b/c=d&e%f\xC3\xA9")
      .Add("empty", "");
  EXPECT_EQ(form.text(),
            "grant_type=client_credentials&scope=https%3A%2F%2Fmail.example%2F.default%20offline_access"
            "&client_secret=a%2Bb%2Fc%3Dd%26e%25f%C3%A9");
}

TEST(OAuthForm, QueryStringsDecodeEscapesAndPlusAndKeepTheFirstOfARepeatedName) {
  const auto query = ParseQuery("code=abc%2Fdef&state=x+y&state=second&error_description=a%20b%ZZ&flag");
  EXPECT_EQ(query.at("code"), "abc/def");
  EXPECT_EQ(query.at("state"), "x y");
  EXPECT_EQ(query.at("error_description"), "a b%ZZ");  // a malformed escape stays as it is
  EXPECT_EQ(query.at("flag"), "");
  EXPECT_EQ(PercentDecode(PercentEncode("\r\n\x01 ~é")), "\r\n\x01 ~é");
}

// RFC 7636 appendix B: the verifier and the S256 challenge made from it.
TEST(OAuthForm, PkceChallengeOfTheRfcExample) {
  const std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
  EXPECT_EQ(Base64Url(crypto::Sha256(verifier)), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  const unsigned char octets[] = {116, 24, 223, 180, 151, 153, 224, 37, 79, 250, 96,  125, 216, 173, 187, 186,
                                  22,  212, 37, 77, 105, 214, 191, 240, 91, 88, 5, 88, 83, 132, 141, 121};
  EXPECT_EQ(Base64Url(std::string(reinterpret_cast<const char*>(octets), sizeof octets)), verifier);
  EXPECT_EQ(Base64Url("\xFB\xFF"), "-_8");
}

}  // namespace
}  // namespace vesk::oauth2
