// Making a SocketConnection encrypted: the TLS handshake over the connected
// socket, after a STARTTLS go-ahead or at the start of an implicit-TLS
// session, with the same inactivity time-out as a read.

#include "engine/net/socket_connection.h"

#include <memory>
#include <string>
#include <utility>

#include "engine/common/error_texts.h"

namespace vesk {
namespace {

// A byte that starts a line of protocol text ("220", "+OK", "* OK") rather
// than a TLS record.
bool LooksLikeText(char byte) { return byte >= 0x20 && byte < 0x7F; }

}  // namespace

bool SocketConnection::FailTls(std::string text) {
  tls_error_ = std::move(text);
  Close();
  return Fail(sockets::kErrConnectionAborted);
}

bool SocketConnection::StartTls(const tls::Options& options, int timeout_ms, bool at_connect) {
  tls_error_.clear();
  if (!HasSocket()) return Fail(sockets::kErrNotSocket);
  if (tls_) return true;
  // The server may not send a byte of its own before our ClientHello: all it
  // sent so far belongs to the plain dialogue and is never read as a reply.
  // Right after the connect there is no plain dialogue, so such bytes are a
  // server greeting in plain text on a port that expects none.
  const bool buffered_before = Buffered() > 0;
  begin_ = end_ = 0;
  char ciphertext[kCiphertextChunkSize];
  // (A few reads at most: a server that never stops talking fails the
  // handshake instead of holding us here.)
  int n = 0;
  bool spoke_first = buffered_before;
  for (int reads = 0; reads < 8 && (n = ReceiveRaw(ciphertext, sizeof ciphertext)) > 0; ++reads) {
    spoke_first = true;
  }
  if (n < 0) {
    const int error = last_error_;
    Close();
    return Fail(error);
  }
  if (at_connect && spoke_first) return FailTls(MessageText(kMsgPlainWhereTlsExpected));

  std::unique_ptr<tls::Session> session = tls::Session::Create(options);
  InactivityClock clock(timeout_ms);
  bool first_answer = true;
  std::string to_send;
  tls::Progress progress = session->Handshake(nullptr, 0, to_send);
  for (;;) {
    if (!to_send.empty()) {
      if (!SendRaw(to_send.data(), to_send.size(), timeout_ms)) {
        const int error = last_error_;
        Close();
        return Fail(error);
      }
      to_send.clear();
    }
    if (progress == tls::Progress::kDone) break;
    if (progress == tls::Progress::kFailed) {
      switch (session->failure()) {
        case tls::Failure::kUntrusted:
          return FailTls(FormatMessageText(kMsgCertificateUntrusted, session->reason().c_str()));
        case tls::Failure::kExpired:
          return FailTls(FormatMessageText(kMsgCertificateExpired, session->reason().c_str()));
        case tls::Failure::kWrongName:
          return FailTls(FormatMessageText(kMsgCertificateWrongName, session->reason().c_str(), options.host.c_str()));
        default:
          return FailTls(FormatMessageText(kMsgTlsHandshakeFailed, session->reason().c_str()));
      }
    }
    // Each poll is one receive that waits up to the clock's pause, as for
    // the replies after the handshake (ReceiveMore).
    if (!clock.NoteEmptyPoll()) {
      Close();
      return Fail(sockets::kErrTimedOut);
    }
    n = ReceiveRaw(ciphertext, sizeof ciphertext, clock.pause_ms());
    if (n == 0 && peer_closed_) return FailTls(MessageText(kMsgClosedDuringHandshake));
    if (n < 0) {
      const int error = last_error_;
      Close();
      return Fail(error);
    }
    if (n == 0) continue;
    clock.NoteBytes();
    // Every TLS record begins with its content type (20 to 23, RFC 8446
    // section 5.1); a server that answers the ClientHello with a line of
    // text speaks the plain protocol on this port.
    if (at_connect && first_answer && LooksLikeText(ciphertext[0])) {
      return FailTls(MessageText(kMsgPlainWhereTlsExpected));
    }
    first_answer = false;
    progress = session->Handshake(ciphertext, static_cast<std::size_t>(n), to_send);
  }
  tls_ = std::move(session);
  return true;
}

}  // namespace vesk
