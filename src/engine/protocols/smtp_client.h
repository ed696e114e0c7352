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
// Connect opens a session and Disconnect ends it (QUIT, then the socket is
// closed). A Connect while a session is open fails and leaves it alone; once
// a session has ended (Disconnect, a failed Connect, or a read or send that
// failed and so left the dialogue at an unknown point), Connect opens a new
// one, and every other command fails at once saying it is not connected.
//
// What a sending caller hands over is plain data: the envelope sender, the
// recipients in the order they are to be given, and the message bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/messages.h"

#include "engine/net/protocol_trace.h"
#include "engine/net/socket_connection.h"
#include "engine/net/transport_security.h"
#include "engine/protocols/sign_in.h"

namespace vesk {

class SmtpClient {
 public:
  static constexpr std::int16_t kDefaultPort = 25;
  static constexpr std::int32_t kDefaultTimeOutMs = 5000;

  SmtpClient();
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  const std::string& host() const { return host_; }
  void set_host(std::string host) { host_ = std::move(host); }
  // The port as the automation interface holds it (16-bit signed); it is
  // used as the unsigned port number with the same bits.
  std::int16_t port() const { return port_; }
  void set_port(std::int16_t port) { port_ = port; }
  // Inactivity time-out of every reply read, in milliseconds.
  std::int32_t timeout_ms() const { return timeout_ms_; }
  void set_timeout_ms(std::int32_t timeout_ms) { timeout_ms_ = timeout_ms; }
  // The name given with HELO; empty (the default) means the local host name.
  const std::string& helo_name() const { return helo_name_; }
  void set_helo_name(std::string name) { helo_name_ = std::move(name); }

  TransportSecurity& security() { return security_; }
  const TransportSecurity& security() const { return security_; }
  // Negotiated protocol and cipher; empty on a plain connection.
  std::string tls_protocol() const { return connection_.TlsDescription(); }

  Credentials& credentials() { return credentials_; }
  const Credentials& credentials() const { return credentials_; }
  ProtocolTrace& trace() { return trace_; }
  const ProtocolTrace& trace() const { return trace_; }
  // Every line of the last complete reply, joined with CR LF.
  const std::string& last_reply() const { return last_reply_; }

  // Description of the last failure (a message text); kept until the next one.
  const std::string& last_error() const { return last_error_; }
  // Lets the owner record a failure found before the dialogue (such as an
  // unusable message object) in the same place.
  void set_last_error(std::string text) { last_error_ = std::move(text); }

  // Connects, reads the greeting (220) and says HELO (250), or EHLO and
  // signs in as described above.
  bool Connect();
  // Says QUIT (221) and closes the connection.
  bool Disconnect();
  bool connected() const { return connection_.connected(); }
  // One mail transaction: MAIL From: <sender> (250), RCPT TO: <recipient>
  // for each recipient in order (250 or 251), DATA (354), the message made
  // transparent with CR LF line ends, and the end-of-data line (250).
  // Caller text that holds CR, LF or NUL, or makes a command too long, is
  // refused before anything is sent, with the message of its step.
  // `message` is text from elsewhere (kText: DataBlock makes it fit), or the
  // bytes this library rendered for transmission (kWireReady: CR LF line
  // ends, no Bcc), which go out as they are, dot-stuffed.
  enum class MessageForm { kText, kWireReady };
  bool Send(std::string_view sender, const std::vector<std::string>& recipients,
            std::string_view message, MessageForm form = MessageForm::kText);

  // The bytes that carry `message` after DATA: every line end made CR LF
  // (a CR or LF alone counts as a line end), a period put before each line
  // that starts with one (RFC 5321 section 4.5.2), then the end-of-data line
  // (after a CR LF of its own only when the message's last line has none).
  // The message's own Bcc and Resent-Bcc fields are left out (RFC 5322
  // section 3.6.3): its blind copies are recipients, not something every
  // recipient may read.
  static std::string DataBlock(std::string_view message);
  // The bytes that carry a message already in wire form: a period put before
  // each line that starts with one, then the end-of-data line. Nothing else
  // changes, so the recipients get the bytes that were rendered.
  static std::string DotStuffedBlock(std::string_view message);

 private:
  enum Command : int;

  bool Execute(Command command, const std::string& argument = std::string());
  bool ReadReply(Command command);
  int ReadReplyCode(Command command);
  bool Fail(MessageId message);
  bool SendCommandBytes(std::string_view bytes);
  bool WantsExtensions() const;
  bool OpenSession(const std::string& name);
  bool Greet(const std::string& name);
  bool SignIn();
  bool Authenticate(AuthMethod method);
  bool Refuse(Command command);
  bool Fits(Command command, std::string_view argument) const;
  bool UpgradeAfterGreeting(const std::string& name);
  bool Upgrade();

  std::string host_ = "localhost";
  std::int16_t port_ = kDefaultPort;
  std::int32_t timeout_ms_ = kDefaultTimeOutMs;
  std::string helo_name_;
  std::string last_error_;
  TransportSecurity security_;
  // The extension keywords of the last EHLO reply, one per line.
  std::string extensions_;
  Credentials credentials_;
  ProtocolTrace trace_;
  std::string last_reply_;
  SocketConnection connection_;
};

}  // namespace vesk
