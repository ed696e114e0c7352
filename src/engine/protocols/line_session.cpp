#include "engine/protocols/line_session.h"

#include "engine/platform/sockets.h"
#include "engine/protocols/dot_terminated_block.h"

namespace vesk {

LineSession::LineSession(std::uint16_t default_port, std::string last_error)
    : last_error_(std::move(last_error)), port_(default_port) {}

bool LineSession::Connect() {
  // Refused before connecting, so that nothing of it is sent and the client
  // stays usable.
  if (!CheckBeforeConnect()) return false;
  last_reply_.clear();
  transport_failed_ = false;
  signing_in_ = false;
  const std::string address = host_ + ":" + std::to_string(port_);
  if (!connection_.Open(host_, port_)) {
    trace_.Note("cannot connect to " + address);
    return FailWith(connection_.ConnectFailureText(host_, port_));
  }
  trace_.Note("connected to " + address);
  if ((security_.mode == Security::kImplicitTls && !Upgrade()) || !OpenDialogue()) {
    connection_.Close();
    return false;
  }
  return true;
}

bool LineSession::Disconnect() {
  if (!connected()) return true;
  // The session ends whatever the reply: the caller is done with it.
  const bool said_goodbye = EndDialogue();
  connection_.Close();
  return said_goodbye;
}

bool LineSession::Fail(MessageId message) { return FailWith(MessageText(message)); }

bool LineSession::FailWith(std::string text) {
  last_error_ = std::move(text);
  return false;
}

bool LineSession::FailWithSocketError() {
  transport_failed_ = true;
  if (signing_in_ && connection_.LastError() == sockets::kErrTimedOut) {
    return FailWith(FormatMessageText(kMsgSignInTimedOut, timeout_ms_));
  }
  return FailWith(connection_.FailureText());
}

bool LineSession::FailCancelled() {
  transport_failed_ = true;
  connection_.Close();
  return FailWith(MessageText(kMsgCancelled));
}

bool LineSession::SendBytes(std::string_view bytes, std::string_view shown) {
  trace_.Sent(shown.empty() ? bytes : shown);
  return SendBody(bytes);
}

bool LineSession::SendSecretLine(std::string_view text, std::string_view shown) {
  trace_.Sent(shown);
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  const bool sent = SendBody(line);
  WipeText(line);
  return sent;
}

bool LineSession::SendBody(std::string_view body) {
  return connection_.SendWithin(body, timeout_ms_) >= 0 || FailWithSocketError();
}

bool LineSession::SendBodyEndingWith(std::string_view body, std::string_view end) {
  constexpr std::size_t kLastPiece = 64 * 1024;
  const std::size_t head = body.size() > kLastPiece ? body.size() - kLastPiece : 0;
  if (head > 0 && !SendBody(body.substr(0, head))) return false;
  std::string last;
  last.reserve(body.size() - head + end.size());
  last.append(body.substr(head)).append(end);
  return SendBody(last);
}

bool LineSession::ReadReplyLine(char* line, std::size_t size, bool greeting) {
  if (connection_.ReadResponseLine(line, size, timeout_ms_) < 0) return FailReadingGreeting(greeting) && false;
  trace_.Received(line);
  return true;
}

int LineSession::ReadLinePiece(char* buffer, std::size_t size, bool& complete) {
  const int length = connection_.ReadLineRaw(buffer, size, timeout_ms_, complete);
  if (length < 0) FailWithSocketError();
  return length;
}

bool LineSession::ReadDotTerminatedBlock(std::string& text) {
  return ReadDotTerminated(connection_, text, timeout_ms_) || FailWithSocketError();
}

bool LineSession::ReadLiteral(std::string& bytes, std::size_t count) {
  if (TransferMeter* meter = connection_.meter(); meter && meter->total() == 0) meter->set_total(count);
  return connection_.ReadBytes(bytes, count, timeout_ms_) || FailWithSocketError();
}

int LineSession::WaitForServer(int milliseconds) {
  const int ready = connection_.WaitForData(milliseconds);
  if (ready < 0) FailWithSocketError();
  return ready;
}

bool LineSession::FitsCommandLength(std::size_t length, std::size_t limit) {
  return length <= limit || FailWith(FormatMessageText(kMsgCommandTooLong, static_cast<int>(limit)));
}

bool LineSession::FailReadingGreeting(bool nothing_read) {
  // A port that expects TLS from the first byte waits silently for the
  // client's handshake.
  if (nothing_read && connection_.LastError() == sockets::kErrTimedOut) {
    transport_failed_ = true;
    return FailWith(FormatMessageText(kMsgNoGreeting, timeout_ms_));
  }
  return FailWithSocketError();
}

bool LineSession::StartTlsDialogue(const StartTlsSteps& steps) {
  if (!steps.ask()) return false;
  if (!steps.offered()) return steps.refuse();
  return steps.command() && Upgrade() && steps.after();
}

bool LineSession::Upgrade() {
  const bool upgraded = UpgradeToTls(connection_, host_, security_, timeout_ms_, last_error_);
  trace_.Note(upgraded ? "TLS: " + connection_.TlsDescription() : last_error_);
  transport_failed_ = transport_failed_ || !upgraded;
  return upgraded;
}

}  // namespace vesk
