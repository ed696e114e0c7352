// How an IMAP4 session opens and ends: the greeting (RFC 3501 section
// 7.1.1), STARTTLS (section 6.2.1), the capabilities the server lists, the
// sign-in with LOGIN or AUTHENTICATE (RFC 4959), and LOGOUT.

#include <algorithm>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/protocols/imap_client.h"

namespace vesk {
namespace {

// RFC 4959 lets the initial response stand on the AUTHENTICATE line, and
// RFC 7162 section 4 asks clients to keep command lines within 8192 octets:
// a longer one (a large token) goes after the first continuation instead.
constexpr std::size_t kMaxAuthenticateLine = 8192;

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

bool ImapClient::CheckBeforeConnect() {
  // Refused before the connection is even made: nothing of it may be sent.
  if (!RefuseLineBreaks(user()) || !RefuseLineBreaks(password())) return false;
  return !HasLineBreakOrNul(credentials().access_token) || Fail(kMsgUnsafeCredentials);
}

bool ImapClient::OpenDialogue() {
  if (LogIn()) return true;
  logged_in_ = false;
  return false;
}

bool ImapClient::LogIn() {
  // What an earlier session's server said of itself no longer counts.
  capabilities_known_ = false;
  capabilities_after_login_ = false;
  capabilities_.clear();
  // The greeting must be "* OK" (RFC 3501 section 7.1.1).
  std::string greeting;
  if (!ReadWholeLine(greeting)) return FailReadingGreeting(greeting.empty());
  if (greeting.size() < 4 || !EqualsIgnoringAsciiCase(std::string_view(greeting).substr(0, 4), "* OK")) {
    last_reply_ = greeting;
    return Fail(kMsgBadConnection);
  }
  // "* OK [CAPABILITY ...] text" saves asking (RFC 3501 section 7.1).
  const std::size_t listed = greeting.find("[CAPABILITY ");
  if (listed != std::string::npos) NoteCapabilities(std::string_view(greeting).substr(listed + 12));
  if (security().mode == Security::kStartTls && !UpgradeAfterGreeting()) return false;
  if (!DuringSignIn([this] { return SignIn(); })) return false;
  logged_in_ = true;
  NoteSignedInCapabilities();
  // The root line of LIST "" "" tells the hierarchy delimiter.
  return ExecuteCommand(ImapCommand::kList, {"\"\"", "\"\""});
}

// The server must list STARTTLS in its capabilities; after the handshake
// they are asked again, as the plain answer may have been tampered with.
bool ImapClient::UpgradeAfterGreeting() {
  const bool upgraded = StartTlsDialogue({
      [&] { return ExecuteCommand(ImapCommand::kCapability); },
      [&] {
        return std::any_of(responses_.begin(), responses_.end(),
                           [](const ImapResponse& response) { return ListsCapability(response.text, "STARTTLS"); });
      },
      [&] { return Fail(kMsgStartTlsNotOffered); },
      [&] { return ExecuteCommand(ImapCommand::kStartTls); },
      [&] {
        capabilities_known_ = false;  // what was said in plain text no longer counts
        return AskCapabilities();
      },
  });
  capabilities_known_ = capabilities_known_ && upgraded;
  return upgraded;
}

bool ImapClient::AskCapabilities() {
  if (!ExecuteCommand(ImapCommand::kCapability)) return false;
  for (const ImapResponse& response : responses_) {
    if (StartsWithIgnoringCase(response.text, "* CAPABILITY ")) NoteCapabilities(std::string_view(response.text).substr(13));
  }
  return true;
}

// The words up to a closing bracket (the greeting's response code) or the
// end of the line.
void ImapClient::NoteCapabilities(std::string_view text) {
  capabilities_ = std::string(text.substr(0, text.find(']')));
  capabilities_known_ = true;
}

// Servers list more once a user has signed in (Dovecot adds MOVE, UIDPLUS and
// SPECIAL-USE then), often in the tagged reply to LOGIN (RFC 3501 section 7.1).
void ImapClient::NoteSignedInCapabilities() {
  const std::size_t listed = last_reply_.find("[CAPABILITY ");
  if (listed == std::string::npos) return;
  NoteCapabilities(std::string_view(last_reply_).substr(listed + 12));
  capabilities_after_login_ = true;
}

// Whether the signed-in server lists `capability`; asks it once when the
// sign-in's reply did not say.
bool ImapClient::ServerLists(std::string_view capability) {
  if (!capabilities_after_login_) {
    if (!AskCapabilities()) return false;
    capabilities_after_login_ = true;
  }
  return ListsCapability(capabilities_, capability);
}

bool ImapClient::SignIn() {
  AuthMethod method = EffectiveMethod(credentials());
  if (!capabilities_known_ && (method != AuthMethod::kAutomatic || security().mode != Security::kNone) &&
      !AskCapabilities()) {
    return false;
  }
  const bool login_disabled = capabilities_known_ && ListsCapability(capabilities_, "LOGINDISABLED");
  if (method == AuthMethod::kAutomatic) {
    method = !login_disabled ? AuthMethod::kLogin
             : ListsCapability(capabilities_, "AUTH=PLAIN") ? AuthMethod::kPlain
                                                            : AuthMethod::kLogin;
  }
  if (method == AuthMethod::kLogin) {
    if (login_disabled) return Fail(kMsgLoginDisabled);
    return ExecuteCommand(ImapCommand::kLogin, {ImapAstring(user()), ImapAstring(password())});
  }
  const OfferedMechanisms offered{capabilities_known_, [&](std::string_view name) {
                                    return ListsCapability(capabilities_, "AUTH=" + std::string(name));
                                  }};
  if (!ChooseOfferedMechanism(credentials(), offered, method, last_error_)) return false;
  // RFC 4959: the initial response goes on the command line when the server
  // lists SASL-IR, else after the first "+" continuation.
  const bool initial = capabilities_known_ && ListsCapability(capabilities_, "SASL-IR");
  BeginCommand();
  const SaslRules rules{"AUTHENTICATE", initial ? kMaxAuthenticateLine : 0, current_tag_.size() + 1, 2};
  return RunSaslExchange(*this, rules, method, credentials());
}

bool ImapClient::SendSaslCommand(std::string_view line, std::string_view shown) {
  std::string command = " " + std::string(line) + "\r\n";
  const bool sent = SendCommandLine(command, " " + std::string(shown) + "\r\n");
  WipeText(command);
  return sent;
}

// A continuation is a challenge; the tagged reply ends the exchange.
SaslReply ImapClient::ReadSaslReply() {
  switch (AwaitGoAhead()) {
    case GoAhead::kGiven:
      return SaslReply::kChallenge;
    case GoAhead::kCompleted:
      return CheckCompletion() || Fail(kMsgAuthFailed) ? SaslReply::kSucceeded : SaslReply::kRefused;
    case GoAhead::kFailed:
      break;
  }
  return SaslReply::kBroken;
}

bool ImapClient::EndDialogue() {
  const bool logged_out = ExecuteCommand(ImapCommand::kLogout);
  logged_in_ = false;
  return logged_out;
}

}  // namespace vesk
