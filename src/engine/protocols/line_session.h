#pragma once

// LineSession: what the SMTP, POP3 and IMAP4 clients share, written once.
// It owns the connection and its settings (host, port, time-out), the
// transport security (TLS from the first byte, or STARTTLS after the
// greeting), the credentials, the trace, the last reply and the last error,
// and the rules for when a session begins and ends:
//
// - Connect opens a session: the connection, TLS when it starts at once,
//   then the protocol's opening dialogue (greeting, upgrade, sign-in). A
//   Connect while a session is open fails and leaves it alone; a session that
//   did not open fully is closed, so Connect can be called again.
// - Disconnect ends it: the protocol's farewell, then the socket is closed.
//   Without a session it does nothing and succeeds (clean-up code calls it).
// - A read or send that fails ends the session (the dialogue is then at an
//   unknown point); every command after that, like one before the first
//   Connect, fails at once saying it is not connected.
//
// A protocol client derives from it and adds only its command table and how
// it judges replies, through OpenDialogue and EndDialogue.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/common/error_texts.h"
#include "engine/net/protocol_trace.h"
#include "engine/net/socket_connection.h"
#include "engine/net/transport_security.h"
#include "engine/protocols/sasl_exchange.h"
#include "engine/protocols/sign_in.h"

namespace vesk {

class LineSession : protected SaslChannel {
 public:
  static constexpr std::int32_t kDefaultTimeOutMs = 5000;

  LineSession(const LineSession&) = delete;
  LineSession& operator=(const LineSession&) = delete;

  // ---- Settings ------------------------------------------------------------
  const std::string& host() const { return host_; }
  void set_host(std::string host) { host_ = std::move(host); }
  // The automation interfaces hold the port as a 16-bit signed number: its
  // bits are the port number, so a negative value reaches a port above 32767.
  std::uint16_t port() const { return port_; }
  void set_port(std::uint16_t port) { port_ = port; }
  // Inactivity time-out of every read and send, in milliseconds.
  std::int32_t timeout_ms() const { return timeout_ms_; }
  void set_timeout_ms(std::int32_t timeout_ms) { timeout_ms_ = timeout_ms; }
  TransportSecurity& security() { return security_; }
  const TransportSecurity& security() const { return security_; }
  Credentials& credentials() { return credentials_; }
  const Credentials& credentials() const { return credentials_; }
  const std::string& user() const { return credentials_.user; }
  void set_user(std::string user) { credentials_.SetUser(std::move(user)); }
  const std::string& password() const { return credentials_.password; }
  void set_password(std::string password) { credentials_.SetPassword(std::move(password)); }
  ProtocolTrace& trace() { return trace_; }
  const ProtocolTrace& trace() const { return trace_; }

  // ---- State ---------------------------------------------------------------
  // The server's last reply as the protocol keeps it.
  const std::string& last_reply() const { return last_reply_; }
  // Told of the progress of sends, retrievals and appends; may stop them
  // (the session then ends, and the call fails as cancelled). Empty: none.
  ProgressListener progress;
  // Description of the last failure (a message text); kept until the next one.
  const std::string& last_error() const { return last_error_; }
  // Lets the owner record a failure found before the dialogue (such as an
  // unusable message object) in the same place.
  void set_last_error(std::string text) { last_error_ = std::move(text); }
  bool connected() const { return connection_.connected(); }
  // Negotiated protocol and cipher; empty on a plain connection.
  std::string tls_protocol() const { return connection_.TlsDescription(); }

  bool Connect();
  bool Disconnect();

 protected:
  LineSession(std::uint16_t default_port, std::string last_error = std::string());
  virtual ~LineSession() = default;

  // Refusals before anything is sent (caller text that could not go out).
  virtual bool CheckBeforeConnect() { return true; }
  // The dialogue that opens a session once connected (and, with implicit
  // TLS, encrypted): greeting, STARTTLS, sign-in.
  virtual bool OpenDialogue() = 0;
  // The farewell (QUIT, LOGOUT); the socket is closed after it.
  virtual bool EndDialogue() = 0;

  // ---- For the dialogues ---------------------------------------------------
  bool Fail(MessageId message);
  bool FailWith(std::string text);
  // Records the connection's failure (a read or send) as the last error.
  bool FailWithSocketError();
  // ---- The wire: every read and send of a client goes through these -------
  // Each works within the time-out; a failure is recorded as the last error
  // and ends the session (the dialogue is then at an unknown point).
  //
  // Sends bytes; `shown` replaces them in the trace (empty: the bytes
  // themselves).
  bool SendBytes(std::string_view bytes, std::string_view shown = {});
  // Sends `text` and CR LF as one line and leaves no copy of it behind.
  bool SendSecretLine(std::string_view text, std::string_view shown);
  // Sends message bytes (a DATA block, an APPEND literal) as they are; the
  // caller has traced their size.
  bool SendBody(std::string_view body);
  // Sends `body` and then `end` (a line end), the end in the same send as
  // the body's last piece, so that it never waits behind the body for an
  // acknowledgement (Nagle's rule), and without copying the body whole.
  bool SendBodyEndingWith(std::string_view body, std::string_view end);
  // Reads one reply line cut to size - 1 bytes into `line` and traces it.
  // A greeting that never comes is described as such.
  bool ReadReplyLine(char* line, std::size_t size, bool greeting = false);
  // Reads a piece of a line of any length into `buffer`: its length (the
  // line end not counted), with `complete` set when the line ended in it;
  // -1 on failure. Nothing is traced.
  int ReadLinePiece(char* buffer, std::size_t size, bool& complete);
  // Reads the lines of a block ended by a line holding a single period into
  // `text` (see dot_terminated_block.h). Not traced.
  bool ReadDotTerminatedBlock(std::string& text);
  // Reads exactly `count` bytes (an IMAP4 literal) into `bytes`. A transfer
  // being metered whose total was not known yet takes the count as its total.
  bool ReadLiteral(std::string& bytes, std::size_t count);
  // Waits up to `milliseconds` for the server to send something: 1 when it
  // has, 0 when the wait ended first, -1 when the connection failed.
  int WaitForServer(int milliseconds);
  // Closes the connection at once, without a farewell (the server has ended
  // the session, or a transaction must not go on).
  void CloseConnection() { connection_.Close(); }
  // Whether the connection is protected by TLS.
  bool encrypted() const { return connection_.encrypted(); }
  // Stops counting the bytes of a metered transfer (its last bytes are
  // counted by the caller).
  void StopMetering() { connection_.set_meter(nullptr); }
  // Refuses a command longer than `limit` octets with the text that says so.
  bool FitsCommandLength(std::size_t length, std::size_t limit);
  // The same for a greeting read some other way that failed: the text for a
  // time-out with nothing read, else the connection's failure.
  bool FailReadingGreeting(bool nothing_read);
  // The handshake on the open connection (implicit TLS or after STARTTLS's
  // go-ahead). On failure the connection is closed.
  bool Upgrade();
  // The upgrade after the greeting, the same in every protocol (RFC 3207,
  // RFC 2595, RFC 3501 section 6.2.1): ask what the server offers, refuse
  // unless it lists the upgrade (nothing, least of all a secret, follows in
  // plain text), send the command, shake hands, then forget or ask again
  // what the server said in plain text. Each step is the protocol's own.
  struct StartTlsSteps {
    std::function<bool()> ask;       // the capability question
    std::function<bool()> offered;   // whether its answer lists the upgrade
    std::function<bool()> refuse;    // the failure when it does not
    std::function<bool()> command;   // STARTTLS or STLS, and its go-ahead
    std::function<bool()> after;     // what follows the handshake
  };
  bool StartTlsDialogue(const StartTlsSteps& steps);
  // Runs a sign-in: a read that times out in it is described as the sign-in
  // left unanswered (servers delay their answer after failed attempts).
  template <class SignInSteps>
  bool DuringSignIn(SignInSteps&& steps) {
    signing_in_ = true;
    const bool signed_in = steps();
    signing_in_ = false;
    return signed_in;
  }
  // Runs a transfer with its bytes counted for the progress listener (when
  // there is one): `body` gets the meter, or nullptr without a listener. The
  // last report, at the whole total, follows a transfer that succeeded.
  template <class Body>
  bool Metered(TransferKind kind, std::uint64_t total, Body&& body) {
    if (!progress) return body(static_cast<TransferMeter*>(nullptr));
    TransferMeter meter(progress, kind, total);
    connection_.set_meter(&meter);
    bool done = body(&meter);
    connection_.set_meter(nullptr);
    if (done && !meter.stopped()) meter.Finish();
    return done;
  }
  // The session's end when the listener stopped a transfer between two
  // sends: the connection is dropped and the call fails as cancelled.
  bool FailCancelled();
  // Whether the server still follows the dialogue: connected, and no read,
  // send or handshake has failed since Connect (a refusal leaves it so).
  bool ServerStillTalking() const { return connected() && !transport_failed_; }
  // A failure of a sign-in exchange itself is the last error; each protocol
  // says how its exchange's lines go and how replies are judged.
  void FailSasl(std::string text) override { last_error_ = std::move(text); }
  // A SASL command and each response go as one secret line; a protocol that
  // frames its command otherwise says so.
  bool SendSaslCommand(std::string_view line, std::string_view shown) override { return SendSecretLine(line, shown); }
  bool SendSaslResponse(std::string_view line, std::string_view shown) final { return SendSecretLine(line, shown); }

  std::string last_reply_;
  std::string last_error_;

 private:
  SocketConnection connection_;
  bool transport_failed_ = false;
  bool signing_in_ = false;
  std::string host_ = "localhost";
  std::uint16_t port_;
  std::int32_t timeout_ms_ = kDefaultTimeOutMs;
  TransportSecurity security_;
  Credentials credentials_;
  ProtocolTrace trace_;
};

}  // namespace vesk
