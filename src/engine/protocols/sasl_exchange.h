#pragma once

// One SASL exchange (RFC 4422) for the three protocols: the command that
// names the mechanism, with the initial response when the protocol lets it
// stand on that line, then one response per server challenge, until the
// server's final reply. A protocol tells it, through SaslChannel, how a
// command and a response go out, how a continuation looks and how the final
// reply is judged, and through SaslRules how long the command line with an
// initial response may be and how many challenges it answers.
//
// Mechanisms live in one table (sasl_exchange.cpp): a new one is a new row
// (its name, what it needs, its responses) and reaches all three protocols.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "engine/common/error_texts.h"
#include "engine/protocols/sign_in.h"

namespace vesk {

// What the server answered to the command or to a response.
enum class SaslReply {
  kChallenge,  // a continuation: the exchange goes on
  kSucceeded,  // the final reply says the client is signed in
  kRefused,    // the final reply says no (the channel has said why)
  kBroken,     // nothing could be read, or the server ended the session
};

class SaslChannel {
 public:
  virtual ~SaslChannel() = default;
  // Sends the command that names the mechanism ("AUTH PLAIN", "AUTHENTICATE
  // PLAIN ..."): `line` without its CR LF, `shown` for the trace.
  virtual bool SendSaslCommand(std::string_view line, std::string_view shown) = 0;
  // Sends one response line (without its CR LF), `shown` for the trace.
  virtual bool SendSaslResponse(std::string_view line, std::string_view shown) = 0;
  // Reads the server's next answer.
  virtual SaslReply ReadSaslReply() = 0;
  // Records a failure of the exchange itself (as the last error).
  virtual void FailSasl(std::string text) = 0;
};

struct SaslRules {
  // The command word: "AUTH" (SMTP, POP3) or "AUTHENTICATE" (IMAP4).
  std::string_view verb;
  // The longest command line (CR LF included, and for IMAP4 its tag) that
  // may carry the initial response; 0 when it never may. A longer one is
  // sent without it, and the response follows the first continuation.
  std::size_t initial_response_line = 0;
  // Room taken on the command line before the verb (an IMAP4 tag and blank).
  std::size_t line_prefix = 0;
  // Challenges answered; one more fails the exchange unanswered.
  int rounds = 3;
};

// The method actually used: automatic with an access token is XOAUTH2.
AuthMethod EffectiveMethod(const Credentials& credentials);

// With the choice left to the library and an access token set (`method` is
// then XOAUTH2), the token mechanism the server lists: XOAUTH2 when it lists
// it (as always), OAUTHBEARER (RFC 7628) when it lists only that. `lists`
// says whether the server names a mechanism; a server whose list is not
// known is taken to name none. Any other method stays as it is.
AuthMethod TokenMechanismOffered(const Credentials& credentials, AuthMethod method,
                                 const std::function<bool(std::string_view)>& lists);

// False (with the text in `error`) when the credentials lack what the
// method's mechanism needs: a password, or an access token.
bool HasWhatTheMechanismNeeds(AuthMethod method, const Credentials& credentials, std::string& error);

// What a server said of its mechanisms: whether it said anything (a server
// that answers no capability question is tried all the same) and whether
// it names one.
struct OfferedMechanisms {
  bool known = false;
  std::function<bool(std::string_view)> lists;
  bool Lists(std::string_view name) const { return known && lists(name); }
};

// The one place a mechanism is chosen. `method` is the protocol's own
// choice for kAutomatic made already, except for a protocol that signs in
// only through SASL (SMTP), where kAutomatic means the token mechanism with
// a token, else PLAIN before LOGIN (one round trip for the same secret), as
// offered. A token mechanism becomes OAUTHBEARER where only that is listed.
// False, with the text in `error`, when the credentials lack what the
// mechanism needs or a known list does not name it.
bool ChooseOfferedMechanism(const Credentials& credentials, const OfferedMechanisms& offered, AuthMethod& method,
                            std::string& error);

// Runs the whole exchange for `method`; true when the final reply says the
// client is signed in. Secrets never reach the trace and leave no copies.
bool RunSaslExchange(SaslChannel& channel, const SaslRules& rules, AuthMethod method, const Credentials& credentials);

}  // namespace vesk
