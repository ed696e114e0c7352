#pragma once

// The SMTP dialogue of the SMTP object: plain SMTP as in RFC 5321 without
// extensions (HELO, MAIL, RCPT, DATA, QUIT), every reply judged by its code
// against the code its step expects. With STARTTLS (RFC 3207) the client
// says EHLO to learn that the server offers it, upgrades, and says EHLO
// again.
//
// Signing in (RFC 4954): when a user name or an access token is set, a
// method is named, or the connection is protected, the client greets with
// EHLO instead of HELO (and with HELO after all when the server answers EHLO
// with 500 or 502), then, with credentials, authenticates with AUTH. With
// none of these set the dialogue is the plain HELO one, byte for byte.
//
// The session rules are LineSession's; Disconnect says QUIT (221).
//
// What a sending caller hands over is plain data: the envelope sender, the
// recipients in the order they are to be given, and the message bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/line_session.h"
#include "engine/protocols/sasl_exchange.h"

namespace vesk {

class SmtpClient : public LineSession, private SaslChannel {
 public:
  static constexpr std::uint16_t kDefaultPort = 25;

  SmtpClient();

  // The name given with HELO; empty (the default) means the local host name.
  const std::string& helo_name() const { return helo_name_; }
  void set_helo_name(std::string name) { helo_name_ = std::move(name); }

  // One mail transaction: MAIL From: <sender> (250), RCPT TO: <recipient>
  // for each recipient in order (250 or 251), DATA (354), the message made
  // transparent with CR LF line ends, and the end-of-data line (250).
  // Caller text that holds CR, LF or NUL, or makes a command too long, is
  // refused before anything is sent, with the message of its step.
  bool Send(std::string_view sender, const std::vector<std::string>& recipients,
            std::string_view message);

  // The questions of the mailbox probe (RFC 5321 section 3.5): VRFY and
  // EXPN succeed on 250; RSET takes any reply.
  bool Verify(std::string_view mailbox);
  bool Expand(std::string_view mailbox);
  void ResetTransaction();

  // The bytes that carry `message` after DATA: every line end made CR LF
  // (a CR or LF alone counts as a line end), a period put before each line
  // that starts with one (RFC 5321 section 4.5.2), then the end-of-data line
  // (after a CR LF of its own only when the message's last line has none).
  // The message's own Bcc and Resent-Bcc fields are left out (RFC 5322
  // section 3.6.3): its blind copies are recipients, not something every
  // recipient may read.
  static std::string DataBlock(std::string_view message);

 private:
  enum Command : int;

  bool CheckBeforeConnect() override;
  bool OpenDialogue() override;
  bool EndDialogue() override;
  bool SendSaslCommand(std::string_view line, std::string_view shown) override;
  bool SendSaslResponse(std::string_view line, std::string_view shown) override;
  SaslReply ReadSaslReply() override;
  void FailSasl(std::string text) override { last_error_ = std::move(text); }

  bool Execute(Command command, const std::string& argument = std::string());
  bool ReadReply(Command command);
  int ReadReplyCode(Command command);
  bool WantsExtensions() const;
  bool Greet(const std::string& name);
  bool SignIn();
  bool Refuse(Command command);
  bool Fits(Command command, std::string_view argument) const;
  bool UpgradeAfterGreeting(const std::string& name);
  std::string HeloName() const;

  std::string helo_name_;
  // The extension keywords of the last EHLO reply, one per line.
  std::string extensions_;
};

}  // namespace vesk
