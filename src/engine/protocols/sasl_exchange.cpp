// The SASL exchange of RFC 4422 section 3, as SMTP (RFC 4954), POP3
// (RFC 5034) and IMAP4 (RFC 3501 section 6.2.2, RFC 4959) carry it.

#include "engine/protocols/sasl_exchange.h"

#include <vector>

namespace vesk {
namespace {

enum class Needs { kPassword, kAccessToken };

// What a mechanism sends: an initial response (none when empty), the
// responses to the challenges that follow, in order, and the answer to any
// challenge beyond them.
struct SaslResponses {
  std::string initial;
  std::vector<std::string> answers;
  std::string_view beyond;

  ~SaslResponses() {
    WipeText(initial);
    for (std::string& answer : answers) WipeText(answer);
  }
};

struct MechanismEntry {
  AuthMethod method;
  Needs needs;
  void (*respond)(const Credentials& credentials, SaslResponses& responses);
};

// The mechanisms, one row each.
constexpr MechanismEntry kMechanisms[] = {
    // RFC 4616: everything in the initial response; a challenge is cancelled.
    {AuthMethod::kPlain, Needs::kPassword,
     [](const Credentials& c, SaslResponses& r) { r.initial = PlainResponse(c), r.beyond = "*"; }},
    // The two prompts of LOGIN: the user name, then the password.
    {AuthMethod::kLogin, Needs::kPassword,
     [](const Credentials& c, SaslResponses& r) {
       r.answers = {Base64Text(c.user), Base64Text(c.password)};
       r.beyond = "*";
     }},
    // A challenge after the token carries the server's error and waits for
    // an empty line before the final reply.
    {AuthMethod::kXOAuth2, Needs::kAccessToken,
     [](const Credentials& c, SaslResponses& r) { r.initial = XOAuth2Response(c), r.beyond = ""; }},
    // RFC 7628 section 3.2.3: a challenge after the token carries the
    // server's error; the client answers ^A and the server then fails.
    {AuthMethod::kOAuthBearer, Needs::kAccessToken,
     [](const Credentials& c, SaslResponses& r) { r.initial = OAuthBearerResponse(c), r.beyond = "AQ=="; }},
};

const MechanismEntry* FindMechanism(AuthMethod method) {
  for (const MechanismEntry& entry : kMechanisms) {
    if (entry.method == method) return &entry;
  }
  return nullptr;
}

}  // namespace

AuthMethod EffectiveMethod(const Credentials& credentials) {
  if (credentials.method == AuthMethod::kAutomatic && !credentials.access_token.empty()) return AuthMethod::kXOAuth2;
  return credentials.method;
}

AuthMethod TokenMechanismOffered(const Credentials& credentials, AuthMethod method,
                                 const std::function<bool(std::string_view)>& lists) {
  if (credentials.method != AuthMethod::kAutomatic || method != AuthMethod::kXOAuth2) return method;
  return !lists("XOAUTH2") && lists("OAUTHBEARER") ? AuthMethod::kOAuthBearer : AuthMethod::kXOAuth2;
}

bool HasWhatTheMechanismNeeds(AuthMethod method, const Credentials& credentials, std::string& error) {
  const MechanismEntry* entry = FindMechanism(method);
  if (entry == nullptr) return true;
  if (entry->needs == Needs::kAccessToken) {
    if (!credentials.user.empty() && !credentials.access_token.empty()) return true;
    error = method == AuthMethod::kXOAuth2 ? MessageText(kMsgAccessTokenNeeded)
                                           : FormatMessageText(kMsgAccessTokenNeededFor, MechanismName(method));
    return false;
  }
  if (!credentials.user.empty() && !credentials.password.empty()) return true;
  error = FormatMessageText(kMsgPasswordNeeded, MechanismName(method));
  return false;
}

bool ChooseOfferedMechanism(const Credentials& credentials, const OfferedMechanisms& offered, AuthMethod& method,
                            std::string& error) {
  if (method == AuthMethod::kAutomatic && !credentials.access_token.empty()) method = AuthMethod::kXOAuth2;
  if (method == AuthMethod::kAutomatic) {
    method = offered.Lists("PLAIN") || !offered.Lists("LOGIN") ? AuthMethod::kPlain : AuthMethod::kLogin;
  }
  method = TokenMechanismOffered(credentials, method, [&](std::string_view name) { return offered.Lists(name); });
  if (!HasWhatTheMechanismNeeds(method, credentials, error)) return false;
  if (offered.known && !offered.lists(MechanismName(method))) {
    error = FormatMessageText(kMsgMechanismNotOffered, MechanismName(method));
    return false;
  }
  return true;
}

bool RunSaslExchange(SaslChannel& channel, const SaslRules& rules, AuthMethod method, const Credentials& credentials) {
  const MechanismEntry* entry = FindMechanism(method);
  if (entry == nullptr) {
    channel.FailSasl(FormatMessageText(kMsgMechanismNotOffered, MechanismName(method)));
    return false;
  }
  SaslResponses responses;
  entry->respond(credentials, responses);
  const std::string named = std::string(rules.verb) + " " + MechanismName(method);
  std::string line = named;
  const bool initial_on_line = !responses.initial.empty() &&
                               rules.line_prefix + named.size() + 1 + responses.initial.size() + 2 <=
                                   rules.initial_response_line;
  // An initial response that cannot stand on the line answers the first
  // challenge instead (RFC 4422 section 4: an empty challenge asks for it).
  if (initial_on_line) {
    line += " " + responses.initial;
  } else if (!responses.initial.empty()) {
    responses.answers.insert(responses.answers.begin(), responses.initial);
  }
  bool sent = channel.SendSaslCommand(line, initial_on_line ? named + " ***" : named);
  WipeText(line);
  std::size_t next = 0;
  for (int round = 0; sent; ++round) {
    switch (channel.ReadSaslReply()) {
      case SaslReply::kSucceeded:
        return true;
      case SaslReply::kRefused:
      case SaslReply::kBroken:
        return false;
      case SaslReply::kChallenge:
        break;
    }
    if (round == rules.rounds) {
      channel.FailSasl(MessageText(kMsgAuthFailed));
      return false;
    }
    const bool prepared = next < responses.answers.size();
    const std::string_view answer = prepared ? std::string_view(responses.answers[next++]) : responses.beyond;
    sent = channel.SendSaslResponse(answer, prepared ? std::string_view("***") : answer);
  }
  return false;
}

}  // namespace vesk
