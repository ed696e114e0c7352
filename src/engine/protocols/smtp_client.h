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
// recipients in the order they are to be given (both UTF-8), and the message
// bytes. The service extensions a transaction uses where the server lists
// them (SIZE, DSN, SMTPUTF8, 8BITMIME, PIPELINING) are decided in
// smtp_extensions.h; send_options() asks for them, and asking for any of
// them also makes the client greet with EHLO.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/line_session.h"
#include "engine/protocols/sasl_exchange.h"
#include "engine/protocols/smtp_extensions.h"

namespace vesk {

class SmtpClient : public LineSession {
 public:
  static constexpr std::uint16_t kDefaultPort = 25;

  SmtpClient();

  // The name given with HELO; empty (the default) means the local host name.
  const std::string& helo_name() const { return helo_name_; }
  void set_helo_name(std::string name) { helo_name_ = std::move(name); }

  // One mail transaction: MAIL From: <sender> (250), RCPT TO: <recipient>
  // for each recipient in order (250 or 251), DATA (354), the message made
  // transparent, and the end-of-data line (250).
  // Caller text that holds CR, LF or NUL, or makes a command too long, is
  // refused before anything is sent, with the message of its step; so are a
  // message larger than the server's SIZE, delivery reports the server does
  // not offer, and an address it cannot take.
  //
  // A refused recipient ends the transaction (later ones are not tried),
  // unless send_options() allow partial delivery: then the message goes to
  // the recipients the server took, if any. Either way refused_recipients()
  // names the refused ones with the server's replies. In the extended (EHLO)
  // dialogue a transaction that failed after MAIL was taken is ended with
  // RSET, so that the next Send can begin; the plain dialogue sends none.
  //
  // With PIPELINING, MAIL, the RCPTs and DATA go out as one group and their
  // replies are judged in order, as one by one. A transaction that must not
  // go on after the server has already answered DATA with 354 is abandoned
  // by closing the connection, so that nothing is delivered (RFC 5321
  // section 3.3 gives no other way to take back an accepted DATA); the
  // session has ended then.
  //
  // `message` is in wire form (CR LF line ends, no Bcc: what the writer
  // makes for transmission) and goes out as it is, dot-stuffed on the way.
  bool Send(std::string_view sender, const std::vector<std::string>& recipients, std::string_view message);

  // The questions of the mailbox probe (RFC 5321 section 3.5): VRFY and
  // EXPN succeed on 250; RSET takes any reply.
  bool Verify(std::string_view mailbox);
  bool Expand(std::string_view mailbox);
  void ResetTransaction();

  SmtpSendOptions& send_options() { return send_options_; }
  const SmtpSendOptions& send_options() const { return send_options_; }
  // What the server listed in its last EHLO reply (nothing after HELO).
  SmtpServerExtensions server_extensions() const;
  // The recipients the server refused in the last Send, in order.
  const std::vector<RefusedRecipient>& refused_recipients() const { return refused_; }

 private:
  enum Command : int;

  bool CheckBeforeConnect() override;
  bool OpenDialogue() override;
  bool EndDialogue() override;
  SaslReply ReadSaslReply() override;

  bool Execute(Command command, const std::string& argument = std::string(), std::string_view parameters = {});
  bool FormatLine(Command command, const std::string& argument, std::string_view parameters, std::string& line);
  bool Accepts(Command command, int code) const;
  bool ExecuteLine(Command command, const std::string& line);
  void EndFailedTransaction();
  bool SendEnvelope(const std::vector<std::string>& lines, const std::vector<std::string>& given);
  bool SendEnvelopePipelined(const std::vector<std::string>& lines, const std::vector<std::string>& given);
  bool ReadReply(Command command);
  int ReadReplyCode(Command command);
  bool WantsExtensions() const;
  bool Greet(const std::string& name);
  bool SignIn();
  bool Refuse(Command command);
  bool FailRecipient(const RefusedRecipient& refused);
  bool UpgradeAfterGreeting(const std::string& name);
  std::string HeloName() const;

  std::string helo_name_;
  // The extension keywords of the last EHLO reply, one per line.
  std::string extensions_;
  SmtpSendOptions send_options_;
  std::vector<RefusedRecipient> refused_;
  // The server took the MAIL of the transaction under way.
  bool transaction_open_ = false;
};

}  // namespace vesk
