// The SASL exchange on its own, through a scripted channel: the lines it
// sends for each mechanism, where the initial response goes, how many
// challenges it answers, and what reaches the trace.

#include "engine/protocols/sasl_exchange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace vesk {
namespace {

using R = SaslReply;

// Answers the exchange from a script and records what it sent: each line as
// "line" and, separately, as shown for the trace.
class ScriptedChannel : public SaslChannel {
 public:
  explicit ScriptedChannel(std::deque<R> replies) : replies_(std::move(replies)) {}
  bool SendSaslCommand(std::string_view line, std::string_view shown) override { return Record(line, shown); }
  bool SendSaslResponse(std::string_view line, std::string_view shown) override { return Record(line, shown); }
  R ReadSaslReply() override {
    if (replies_.empty()) return R::kBroken;
    const R reply = replies_.front();
    replies_.pop_front();
    return reply;
  }
  void FailSasl(std::string text) override { error = std::move(text); }

  std::vector<std::string> sent, shown;
  std::string error;

 private:
  bool Record(std::string_view line, std::string_view trace) {
    sent.emplace_back(line), shown.emplace_back(trace);
    return true;
  }
  std::deque<R> replies_;
};

struct SaslCase {
  const char* name;
  AuthMethod method;
  SaslRules rules;
  std::deque<R> replies;
  bool succeeds;
  std::vector<std::string> sent;
  std::vector<std::string> shown;
  std::string error;
};

constexpr char kPlain[] = "AGFubgBzZWNyZXQ=";                          // \0ann\0secret
constexpr char kXOAuth2[] = "dXNlcj1hbm4BYXV0aD1CZWFyZXIgdG9rM24BAQ==";  // user=ann^Aauth=Bearer tok3n^A^A
const SaslRules kSmtp{"AUTH", 12288, 0, 3};
const SaslRules kPop3{"AUTH", 255, 0, 3};
const SaslRules kImapWithoutSaslIr{"AUTHENTICATE", 0, 0, 2};
const SaslRules kShortLine{"AUTH", 20, 0, 3};

const SaslCase kCases[] = {
    {"PlainOnTheCommandLine", AuthMethod::kPlain, kSmtp, {R::kSucceeded}, true,
     {std::string("AUTH PLAIN ") + kPlain}, {"AUTH PLAIN ***"}, ""},
    {"PlainAfterTheFirstChallengeWhenTheLineMayNotCarryIt", AuthMethod::kPlain, kImapWithoutSaslIr,
     {R::kChallenge, R::kSucceeded}, true, {"AUTHENTICATE PLAIN", kPlain}, {"AUTHENTICATE PLAIN", "***"}, ""},
    {"AnInitialResponseTooLongForTheLineWaitsForTheChallenge", AuthMethod::kPlain, kShortLine,
     {R::kChallenge, R::kSucceeded}, true, {"AUTH PLAIN", kPlain}, {"AUTH PLAIN", "***"}, ""},
    {"LoginAnswersTwoPrompts", AuthMethod::kLogin, kPop3, {R::kChallenge, R::kChallenge, R::kSucceeded}, true,
     {"AUTH LOGIN", "YW5u", "c2VjcmV0"}, {"AUTH LOGIN", "***", "***"}, ""},
    {"AChallengeBeyondThePreparedResponsesIsCancelled", AuthMethod::kPlain, kSmtp, {R::kChallenge, R::kRefused},
     false, {std::string("AUTH PLAIN ") + kPlain, "*"}, {"AUTH PLAIN ***", "*"}, ""},
    {"XOAuth2AnswersTheErrorChallengeWithAnEmptyLine", AuthMethod::kXOAuth2, kSmtp, {R::kChallenge, R::kRefused},
     false, {std::string("AUTH XOAUTH2 ") + kXOAuth2, ""}, {"AUTH XOAUTH2 ***", ""}, ""},
    {"OneChallengeMoreThanTheRoundsFailsUnanswered", AuthMethod::kPlain, kImapWithoutSaslIr,
     {R::kChallenge, R::kChallenge, R::kChallenge}, false, {"AUTHENTICATE PLAIN", kPlain, "*"},
     {"AUTHENTICATE PLAIN", "***", "*"}, "Authentication failed"},
    {"ABrokenConnectionEndsTheExchange", AuthMethod::kLogin, kSmtp, {R::kChallenge}, false, {"AUTH LOGIN", "YW5u"},
     {"AUTH LOGIN", "***"}, ""},
};

class SaslExchange : public ::testing::TestWithParam<SaslCase> {};

TEST_P(SaslExchange, SendsTheMechanismsLinesAndKeepsSecretsOutOfTheTrace) {
  const SaslCase& c = GetParam();
  Credentials credentials;
  credentials.SetUser("ann"), credentials.SetPassword("secret"), credentials.SetAccessToken("tok3n");
  ScriptedChannel channel(c.replies);
  EXPECT_EQ(RunSaslExchange(channel, c.rules, c.method, credentials), c.succeeds);
  EXPECT_EQ(channel.sent, c.sent);
  EXPECT_EQ(channel.shown, c.shown);
  EXPECT_EQ(channel.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, SaslExchange, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SaslExchange, MissingCredentialsAreNamedBeforeAnythingIsSent) {
  Credentials credentials;
  credentials.SetUser("ann");
  std::string error;
  EXPECT_FALSE(HasWhatTheMechanismNeeds(AuthMethod::kPlain, credentials, error));
  EXPECT_EQ(error, "Signing in with PLAIN needs a user name and a password");
  EXPECT_FALSE(HasWhatTheMechanismNeeds(AuthMethod::kXOAuth2, credentials, error));
  EXPECT_EQ(error, "Signing in with XOAUTH2 needs a user name and an access token");
  credentials.SetAccessToken("t");
  EXPECT_TRUE(HasWhatTheMechanismNeeds(AuthMethod::kXOAuth2, credentials, error));
  EXPECT_EQ(EffectiveMethod(credentials), AuthMethod::kXOAuth2) << "automatic with a token";
}

}  // namespace
}  // namespace vesk
