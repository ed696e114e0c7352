#pragma once

// The POP3 dialogue of the POP3 object (RFC 1939): log-in with USER and PASS,
// the message count from STAT, sizes from LIST, whole messages from RETR and
// heads from TOP, deletion marks with DELE and RSET, and QUIT. A status line
// is negative when it begins with "-ERR" in any letter case; any other status
// line counts as positive.
//
// Connect opens a session and Disconnect ends it (QUIT, then the socket is
// closed). A Connect while a session is open fails and leaves it alone; once
// a session has ended (Disconnect, a failed Connect, or a read or send that
// failed and so left the dialogue at an unknown point), Connect opens a new
// one, and every other command fails at once saying it is not connected.
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

#include "engine/common/messages.h"

#include "engine/net/protocol_trace.h"
#include "engine/net/socket_connection.h"
#include "engine/net/transport_security.h"
#include "engine/protocols/sign_in.h"

namespace vesk {

class Pop3Client {
 public:
  static constexpr std::int16_t kDefaultPort = 110;
  static constexpr std::int32_t kDefaultTimeOutMs = 5000;

  Pop3Client();
  Pop3Client(const Pop3Client&) = delete;
  Pop3Client& operator=(const Pop3Client&) = delete;

  const std::string& user() const { return credentials_.user; }
  void set_user(std::string user) { credentials_.SetUser(std::move(user)); }
  const std::string& password() const { return credentials_.password; }
  void set_password(std::string password) { credentials_.SetPassword(std::move(password)); }
  Credentials& credentials() { return credentials_; }
  ProtocolTrace& trace() { return trace_; }
  // The last status line the server sent.
  const std::string& last_reply() const { return last_reply_; }
  const std::string& host() const { return host_; }
  void set_host(std::string host) { host_ = std::move(host); }
  // The port as the automation interface holds it (16-bit signed); it is
  // used as the unsigned port number with the same bits.
  std::int16_t port() const { return port_; }
  void set_port(std::int16_t port) { port_ = port; }
  // Inactivity time-out of every read, in milliseconds.
  std::int32_t timeout_ms() const { return timeout_ms_; }
  void set_timeout_ms(std::int32_t timeout_ms) { timeout_ms_ = timeout_ms; }

  // The count the STAT of the last successful Connect gave; 0 before.
  std::int16_t message_count() const { return message_count_; }
  // The size the last positive LIST gave.
  std::int32_t last_size() const { return last_size_; }
  // The text of the last RETR or TOP: lines joined with LF, doubled leading
  // periods undone, the ending line left out.
  const std::string& retrieved_text() const { return retrieved_text_; }
  TransportSecurity& security() { return security_; }
  const TransportSecurity& security() const { return security_; }
  // Negotiated protocol and cipher; empty on a plain connection.
  std::string tls_protocol() const { return connection_.TlsDescription(); }

  // Description of the last failure (a message text); kept until the next one.
  const std::string& last_error() const { return last_error_; }

  // Connects, reads the greeting, logs in with USER and PASS and learns the
  // message count with STAT. A user name or password that holds CR, LF or
  // NUL, or makes its command too long, is refused before connecting.
  bool Connect();
  // Says QUIT (the server then applies the deletions) and closes the
  // connection.
  bool Disconnect();
  bool connected() const { return connection_.connected(); }
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

  template <typename... Args>
  bool Execute(Command command, Args... args);
  bool ReadStatus(Command command);
  bool LogIn();
  bool Refuse(Command command);
  bool Upgrade();
  bool UpgradeAfterGreeting();
  bool Fail(MessageId message);
  bool SignIn();
  bool Authenticate(AuthMethod method);

  Credentials credentials_;
  ProtocolTrace trace_;
  std::string last_reply_;
  bool capabilities_known_ = false;
  std::string host_ = "localhost";
  std::int16_t port_ = kDefaultPort;
  std::int32_t timeout_ms_ = kDefaultTimeOutMs;
  std::int16_t message_count_ = 0;
  std::int32_t last_size_ = 0;
  std::string retrieved_text_;
  std::string last_uid_;
  std::string uid_listing_;
  std::string last_error_;
  TransportSecurity security_;
  std::string capabilities_;  // the lines of the last CAPA
  SocketConnection connection_;
};

}  // namespace vesk
