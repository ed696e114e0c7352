#pragma once

// The POP3 dialogue of the POP3 object (RFC 1939): log-in with USER and PASS,
// the message count from STAT, sizes from LIST, whole messages from RETR and
// heads from TOP, deletion marks with DELE and RSET, and QUIT. A status line
// is negative when it begins with "-ERR" in any letter case; any other status
// line counts as positive.
//
// The session rules are LineSession's; Disconnect says QUIT, after which
// the server applies the deletions.
//
// With STARTTLS the client asks CAPA after the greeting and upgrades with
// STLS (RFC 2595 section 4) before it logs in; with implicit TLS the plain
// dialogue runs inside TLS.
//
// Signing in: USER and PASS, as always, unless the method names SASL PLAIN or
// XOAUTH2 or an access token is set; then AUTH (RFC 5034) with the initial
// response, after CAPA has shown the mechanism (a server that does not know
// CAPA is asked all the same). When the server refuses USER, AUTH PLAIN is
// tried with the same user and password.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/protocols/dot_terminated_block.h"
#include "engine/protocols/line_session.h"
#include "engine/protocols/sasl_exchange.h"

namespace vesk {

class Pop3Client : public LineSession {
 public:
  static constexpr std::uint16_t kDefaultPort = 110;

  Pop3Client();

  // The count the STAT of the last successful Connect gave; 0 before.
  std::int16_t message_count() const { return message_count_; }
  // The size the last positive LIST gave.
  std::int32_t last_size() const { return last_size_; }
  // The text of the last RETR or TOP: lines joined with LF, doubled leading
  // periods undone, the ending line left out.
  const std::string& retrieved_text() const { return retrieved_text_; }

  // LIST number: `size` is the message's size, or 0 when the step fails.
  bool GetMessageSize(std::int16_t number, std::int32_t& size);
  // RETR number, into retrieved_text().
  bool Retrieve(std::int16_t number);
  // TOP number lines: the header and the first `lines` lines of the body,
  // into retrieved_text().
  bool RetrieveTop(std::int16_t number, std::int16_t lines = 0);
  // DELE number: marks the message for deletion.
  bool Delete(std::int16_t number);
  // RSET: removes every deletion mark.
  bool Reset();
  // UIDL number (RFC 1939 section 7): the identifier the server keeps for
  // the message across sessions.
  bool GetMessageUid(std::int16_t number, std::string& uid);
  // UIDL: the number of the message with that identifier in this session,
  // or 0 when no message (not marked for deletion) has it.
  bool FindMessageByUid(std::string_view uid, std::int16_t& number);

 private:
  enum Command : int;

  // Connect checks the user name and password (CR, LF or NUL, or a command
  // too long) before connecting; then greeting, STARTTLS, log-in and STAT.
  bool CheckBeforeConnect() override;
  bool OpenDialogue() override;
  bool EndDialogue() override;
  SaslReply ReadSaslReply() override;

  template <typename... Args>
  bool Execute(Command command, Args... args);
  bool ReadStatus(Command command);
  bool Refuse(Command command);
  bool UpgradeAfterGreeting();
  bool SignIn();
  bool ExplainRefusal();

  bool capabilities_known_ = false;
  std::int16_t message_count_ = 0;
  std::int32_t last_size_ = 0;
  std::string retrieved_text_;
  std::string last_uid_;
  std::string uid_listing_;
  std::string capabilities_;  // the lines of the last CAPA
};

}  // namespace vesk
