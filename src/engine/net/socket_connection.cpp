#include "engine/net/socket_connection.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

#include "engine/common/messages.h"

namespace vesk {
namespace {

// Room for two full TLS records with their overhead.
constexpr int kCiphertextChunkSize = 2 * (16384 + 2048);
// A send without a time limit blocks for as long as the peer lets it.
constexpr int kNoTimeLimit = -1;
// Plain data handed to the TLS session at a time when sending.
constexpr std::size_t kEncryptChunkSize = 64 * 1024;

// A byte that starts a line of protocol text ("220", "+OK", "* OK") rather
// than a TLS record.
bool LooksLikeText(char byte) { return byte >= 0x20 && byte < 0x7F; }

// Removes the LF at text[length-1] and a CR just before it; the new length.
std::size_t WithoutLineEnd(const char* text, std::size_t length) {
  --length;
  if (length > 0 && text[length - 1] == '\r') --length;
  return length;
}

}  // namespace

SocketConnection::SocketConnection() : buffer_(new char[kReceiveBufferSize]) {}

SocketConnection::~SocketConnection() {
  Close();
  sockets::CloseWaiter(waiter_);
}

bool SocketConnection::Fail(int error) {
  last_error_ = error;
  sockets::SetLastError(error);
  return false;
}

int SocketConnection::FailWithMinusOne(int error) {
  Fail(error);
  return -1;
}

namespace {
// How soon after a reply a command goes out without looking first whether
// the peer has ended the stream (SendWithin).
constexpr std::chrono::milliseconds kFreshReply{100};
}  // namespace

bool SocketConnection::Create() {
  if (HasSocket()) return true;
  sockets::Handle socket = sockets::CreateTcpSocket();
  if (socket == sockets::kInvalidHandle) return Fail(sockets::LastError());
  socket_ = socket;
  if (waiter_ == sockets::kNoWaiter) waiter_ = sockets::CreateWaiter();
  peer_closed_ = false;
  sent_unprobed_ = false;
  last_arrival_ = {};
  begin_ = end_ = 0;
  return true;
}

bool SocketConnection::ConnectTo(const std::string& host, std::uint16_t port) {
  if (!HasSocket()) return Fail(sockets::kErrNotSocket);
  sockets::Ipv4Address address = sockets::ParseDottedAddress(host.c_str());
  if (address == sockets::kNoAddress) {
    address = sockets::LookUpHost(host.c_str());
    if (address == sockets::kNoAddress) return Fail(sockets::kErrInvalid);
  }
  if (!sockets::Connect(socket_, address, port)) return Fail(sockets::LastError());
  if (!sockets::MakeNonBlocking(socket_)) return Fail(sockets::LastError());
  connected_ = true;
  ended_ = false;
  return true;
}

bool SocketConnection::Open(const std::string& host, std::uint16_t port) {
  if (connected_) return Fail(sockets::kErrAlreadyConnected);
  // A socket that has been connected, or tried, is not connected again:
  // Windows Sockets refuses that, and a fresh one carries nothing over.
  Close();
  return Create() && ConnectTo(host, port);
}

std::string SocketConnection::ConnectFailureText(const std::string& host, std::uint16_t port) const {
  MessageId reason = kMsgConnectFailed;
  switch (last_error_) {
    case sockets::kErrAlreadyConnected:
      return MessageText(kMsgCannotConnect);  // the session that is open stays
    case sockets::kErrConnectionRefused:
      reason = kMsgConnectRefused;
      break;
    case sockets::kErrInvalid:  // what a name that does not resolve gives
    case sockets::kErrHostNotFound:
    case sockets::kErrNoData:
    case sockets::kErrTryAgain:
      reason = kMsgHostNotFound;
      break;
    case sockets::kErrHostUnreachable:
    case sockets::kErrNetworkUnreachable:
    case sockets::kErrHostDown:
    case sockets::kErrNetworkDown:
      reason = kMsgHostUnreachable;
      break;
    case sockets::kErrTimedOut:
      reason = kMsgHostSilent;
      break;
    default:
      break;
  }
  return FormatMessageText(kMsgCannotConnectTo, host.c_str(), static_cast<unsigned>(port), MessageText(reason).c_str(),
                           last_error_);
}

std::string SocketConnection::FailureText() const {
  if (last_error_ == sockets::kErrCancelled) return MessageText(kMsgCancelled);
  if (!connected_ && last_error_ == sockets::kErrNotConnected) {
    return ended_ ? FormatMessageText(kMsgConnectionEnded, last_error_) : MessageText(kMsgNeverConnected);
  }
  return FormatMessageText(kMsgSocketError, last_error_);
}

// A failed read or send leaves the dialogue at an unknown point: the session
// is over. The failure's error number stays the one reported.
bool SocketConnection::Drop() {
  const int error = last_error_;
  Close();
  return Fail(error);
}

bool SocketConnection::Meter(std::size_t bytes) {
  if (!meter_ || meter_->Add(bytes)) return true;
  Fail(sockets::kErrCancelled);
  return Drop();
}

// Reads and timed sends need a session: before the first connect and after
// the end of one they fail at once, never by waiting on an idle socket.
bool SocketConnection::RefuseWithoutSocket() {
  return Fail(sockets::kErrNotConnected);
}

int SocketConnection::SendBytes(const char* data, int length, int flags) {
  if (!HasSocket()) return RefuseWithoutSocket(), -1;
  if (tls_) {
    for (int done = 0; done < length;) {
      const int chunk = static_cast<int>(std::min<std::size_t>(kEncryptChunkSize, static_cast<std::size_t>(length - done)));
      records_.clear();
      if (!tls_->Encrypt(data + done, static_cast<std::size_t>(chunk), records_)) {
        return FailWithMinusOne(sockets::kErrConnectionAborted);
      }
      if (!SendRaw(records_.data(), records_.size(), kNoTimeLimit)) return -1;
      done += chunk;
    }
    return length;
  }
  int sent = 0;
  while (sent < length) {
    int n = sockets::Send(socket_, data + sent, length - sent, flags);
    if (n < 0) return FailWithMinusOne(sockets::LastError());
    if (n == 0) break;  // a blocking send never does this; do not spin on it
    sent += n;
  }
  return sent;
}

int SocketConnection::SendBytes(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return FailWithMinusOne(sockets::kErrMessageSize);
  return SendBytes(bytes.data(), static_cast<int>(bytes.size()));
}

// A peer that has ended its side of the stream (or reset it) answers
// nothing more, whatever it is sent.
bool SocketConnection::PeerHasEnded() {
  if (peer_closed_) return true;
  // One look that never blocks: the end of the stream reads as 0 bytes.
  char probe;
  const int n = sockets::Receive(socket_, &probe, 1, sockets::ReceiveMode::kPeek);
  return n == 0 || (n < 0 && (sockets::LastError() == sockets::kErrConnectionReset ||
                              sockets::LastError() == sockets::kErrConnectionAborted));
}

int SocketConnection::SendWithin(std::string_view bytes, int timeout_ms) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return FailWithMinusOne(sockets::kErrMessageSize);
  if (!connected_) return RefuseWithoutSocket(), -1;
  // The session is over before the command: it fails at once, saying so.
  // Looking costs a receive, as dear as the send itself where socket calls
  // are (Windows Sockets under Wine), so a command that follows a reply
  // within kFreshReply goes without the look; should the stream turn out to
  // have ended at the first look for its reply, the read fails at once the
  // same way (ReceiveMore), instead of waiting out the time-out.
  if (peer_closed_) return Close(), RefuseWithoutSocket(), -1;
  if (std::chrono::steady_clock::now() - last_arrival_ < kFreshReply) {
    sent_unprobed_ = true;
  } else if (PeerHasEnded()) {
    return Close(), RefuseWithoutSocket(), -1;
  }
  timeout_ms = std::max(timeout_ms, 0);
  if (!tls_) {
    // Metered, the bytes go a piece at a time, each counted.
    const std::size_t piece = meter_ ? TransferMeter::kReportBytes : bytes.size();
    for (std::size_t done = 0; done < bytes.size();) {
      const std::size_t chunk = std::min(piece, bytes.size() - done);
      if (!SendRaw(bytes.data() + done, chunk, timeout_ms) || !Meter(chunk)) return -1;
      done += chunk;
    }
    return static_cast<int>(bytes.size());
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t chunk = std::min(kEncryptChunkSize, bytes.size() - done);
    records_.clear();
    if (!tls_->Encrypt(bytes.data() + done, chunk, records_)) {
      Fail(sockets::kErrConnectionAborted);
      Drop();
      return -1;
    }
    if (!SendRaw(records_.data(), records_.size(), timeout_ms) || !Meter(chunk)) return -1;
    done += chunk;
  }
  return static_cast<int>(bytes.size());
}

void SocketConnection::Consume(std::size_t count) {
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;
}

// Hands every byte to the socket. Without a time limit a send blocks as
// long as the peer lets it; with one, the time counts from the last byte
// that went out, and running out of it, like any send failure, ends the
// session.
bool SocketConnection::SendRaw(const char* data, std::size_t length, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  auto last_progress = Clock::now();
  const auto waited = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_progress).count();
  };
  while (length > 0) {
    const int chunk = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    int n;
    if (timeout_ms < 0) {
      n = sockets::Send(socket_, data, chunk, 0);
      if (n == 0) return Fail(sockets::kErrConnectionAborted);
      if (n < 0) return Fail(sockets::LastError());
    } else {
      n = sockets::SendWithin(socket_, data, chunk, static_cast<int>(std::max<long long>(0, timeout_ms - waited())));
      if (n < 0) return Fail(sockets::LastError()), Drop();
      if (n == 0) {
        if (waited() >= timeout_ms) return Fail(sockets::kErrTimedOut), Drop();
        continue;
      }
      last_progress = Clock::now();
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// What the socket holds, in one receive that never blocks, or with
// `wait_ms`, that waits up to that long for bytes: the count received, 0 when
// nothing is there (or the stream has ended, which sets peer_closed_), or -1.
int SocketConnection::ReceiveRaw(char* buffer, int room, int wait_ms) {
  if (peer_closed_) return 0;
  const int n = wait_ms > 0 ? sockets::ReceiveWithin(socket_, waiter_, buffer, room, wait_ms)
                            : sockets::Receive(socket_, buffer, room, sockets::ReceiveMode::kConsume);
  if (n > 0) {
    last_arrival_ = std::chrono::steady_clock::now();
    sent_unprobed_ = false;
    return n;
  }
  const int error = n == 0 ? 0 : sockets::LastError();
  if (error == sockets::kErrWouldBlock) return 0;
  if (n == 0 || error == sockets::kErrConnectionReset || error == sockets::kErrConnectionAborted) {
    peer_closed_ = true;
    return 0;
  }
  return FailWithMinusOne(error);
}

// The encrypted side of a poll: decrypted bytes the session holds first,
// then whatever ciphertext the socket holds, until a byte is decrypted or
// nothing is left to receive; the first receive waits up to `wait_ms`. A
// close_notify (or a damaged record) ends the stream as a FIN does on a plain
// connection.
int SocketConnection::TakeDecrypted(bool may_receive, int wait_ms) {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, Buffered());
    end_ -= begin_;
    begin_ = 0;
  }
  const std::size_t room = kReceiveBufferSize - end_;
  if (room == 0) return 0;
  for (;;) {
    const int n = tls_->Decrypt(buffer_.get() + end_, room);
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
      return Meter(static_cast<std::size_t>(n)) ? n : -1;
    }
    if (n < 0) peer_closed_ = true;
    if (peer_closed_ || !may_receive) return 0;
    char ciphertext[kCiphertextChunkSize];
    const int received = ReceiveRaw(ciphertext, sizeof ciphertext, std::exchange(wait_ms, 0));
    if (received <= 0) return received;
    tls_->Feed(ciphertext, static_cast<std::size_t>(received));
    ciphertext_arrived_ = true;
  }
}

// One poll: moves the bytes the socket holds into the buffer, waiting up to
// `wait_ms` for some when none are there. The count moved (0 when none came),
// or -1.
int SocketConnection::TakeWhatIsPending(int wait_ms) {
  ciphertext_arrived_ = false;
  if (tls_) return TakeDecrypted(true, wait_ms);
  if (peer_closed_) return 0;
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, Buffered());
    end_ -= begin_;
    begin_ = 0;
  }
  const int n = ReceiveRaw(buffer_.get() + end_, static_cast<int>(kReceiveBufferSize - end_), wait_ms);
  if (n > 0) end_ += static_cast<std::size_t>(n);
  return n > 0 && !Meter(static_cast<std::size_t>(n)) ? -1 : n;
}

// The pause between two empty polls: one receive that waits, ending as soon
// as bytes arrive. At the end of the stream (or after a reset) the socket is
// readable for good, so from then on the pause is slept: a closed peer is
// noticed, like silence, only when the inactivity period has passed. Returns
// the count of bytes taken, or -1.
int SocketConnection::Pause(int milliseconds) {
  ciphertext_arrived_ = false;
  if (peer_closed_) {
    sockets::SleepMilliseconds(milliseconds);
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();
  const int n = TakeWhatIsPending(std::max(milliseconds, 0));
  // (After a command sent without the look for the end of the stream, the
  // caller fails at once instead: see ReceiveMore.)
  if (n != 0 || ciphertext_arrived_ || !peer_closed_ || sent_unprobed_) return n;
  // The stream ended just now (a FIN, a reset or a close_notify).
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  sockets::SleepMilliseconds(milliseconds - static_cast<int>(spent.count()));
  return 0;
}

int SocketConnection::WaitForData(int milliseconds) {
  if (!HasSocket()) return RefuseWithoutSocket(), -1;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  for (;;) {
    if (Buffered() > 0) return 1;
    int n = TakeWhatIsPending();
    if (n < 0) return Drop(), -1;
    if (n > 0) return 1;
    // A peer that has gone sends nothing more: waiting on would only hide it.
    if (peer_closed_) return Fail(sockets::kErrConnectionReset), Drop(), -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    // Slices of at most a second, so that a close is noticed soon.
    n = Pause(static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (n < 0) return Drop(), -1;
    if (n > 0) return 1;
  }
}

// Waits until at least one new byte is in the buffer: polls, each one
// receive that waits up to the clock's pause (sockets::ReceiveWithin). The
// first poll takes what the socket holds already at the price of a receive
// that never blocks, and a reply that has not arrived yet costs no second
// receive after the wait. Bytes a TLS session has decrypted already are
// taken without a receive. False on a time-out (10060) or a socket failure.
bool SocketConnection::ReceiveMore(InactivityClock& clock) {
  if (tls_) {
    const int n = TakeDecrypted(false);
    if (n < 0) return false;
    if (n > 0) {
      clock.NoteBytes();
      return true;
    }
  }
  for (;;) {
    if (!clock.NoteEmptyPoll()) return Fail(sockets::kErrTimedOut), Drop();
    const int n = Pause(clock.pause_ms());
    if (n < 0) return Drop();
    // Ciphertext that completes no record yet is still a sign of life.
    if (n > 0 || ciphertext_arrived_) clock.NoteBytes();
    if (n > 0) return true;
    // A stream found ended at the first look after a command that went
    // without the look before it (SendWithin) had ended before the command:
    // the call fails at once, as the look would have made it.
    if (std::exchange(sent_unprobed_, false) && peer_closed_) return Close(), RefuseWithoutSocket();
  }
}

int SocketConnection::ReadLineRaw(char* buffer, std::size_t size, int timeout_ms, bool& complete) {
  complete = false;
  if (!connected_) return RefuseWithoutSocket(), -1;
  if (buffer == nullptr || size == 0) return FailWithMinusOne(sockets::kErrFault);
  const std::size_t room = std::min<std::size_t>(size - 1, INT_MAX);
  std::size_t stored = 0;
  InactivityClock clock(timeout_ms);
  while (stored < room) {
    if (Buffered() == 0 && !ReceiveMore(clock)) return -1;
    clock.NoteBytes();
    const std::size_t take = std::min(Buffered(), room - stored);
    const char* from = BufferedData();
    const char* lf = static_cast<const char*>(std::memchr(from, '\n', take));
    const std::size_t count = lf ? static_cast<std::size_t>(lf - from) + 1 : take;
    std::memcpy(buffer + stored, from, count);
    Consume(count);
    stored += count;
    if (lf) {
      // Only a CR stored in this buffer is removed: an LF at the buffer's
      // first byte has nothing before it.
      stored = WithoutLineEnd(buffer, stored);
      buffer[stored] = '\0';
      complete = true;
      return static_cast<int>(stored);
    }
  }
  buffer[stored] = '\0';
  return static_cast<int>(stored);
}

int SocketConnection::ReadResponseLine(char* buffer, std::size_t size, int timeout_ms) {
  bool complete = false;
  int length = ReadLineRaw(buffer, size, timeout_ms, complete);
  if (length < 0) return -1;
  char scratch[kScratchSize];
  while (!complete) {
    if (ReadLineRaw(scratch, sizeof scratch, timeout_ms, complete) < 0) return -1;
  }
  return length;
}

bool SocketConnection::CanRead() { return connected_ || RefuseWithoutSocket(); }

bool SocketConnection::ReadLine(std::string& line, int timeout_ms) {
  line.clear();
  if (!connected_) return RefuseWithoutSocket();
  InactivityClock clock(timeout_ms);
  for (;;) {
    if (Buffered() > 0) {
      clock.NoteBytes();
      const char* from = BufferedData();
      const char* lf = static_cast<const char*>(std::memchr(from, '\n', Buffered()));
      if (lf) {
        const std::size_t length = static_cast<std::size_t>(lf - from);
        line.append(from, length);
        Consume(length + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      // The CR of a CR LF cut apart by the stream is removed with its LF.
      line.append(from, Buffered());
      Consume(Buffered());
    }
    if (!ReceiveMore(clock)) return false;
  }
}

bool SocketConnection::ReadBytes(std::string& bytes, std::size_t count, int timeout_ms) {
  if (!connected_) return RefuseWithoutSocket();
  InactivityClock clock(timeout_ms);
  while (count > 0) {
    if (Buffered() == 0 && !ReceiveMore(clock)) return false;
    clock.NoteBytes();
    const std::size_t take = std::min(Buffered(), count);
    bytes.append(BufferedData(), take);
    Consume(take);
    count -= take;
  }
  return true;
}

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

bool SocketConnection::Close() {
  if (!HasSocket()) return true;
  if (tls_) {
    // Best effort: the session ends with a close_notify (RFC 8446 section 6.1).
    const std::string alert = tls_->CloseNotify();
    // Never waits: a peer that stopped reading must not hold the close.
    if (!peer_closed_ && !alert.empty()) sockets::SendWithin(socket_, alert.data(), static_cast<int>(alert.size()), 0);
    tls_.reset();
  }
  sockets::Handle socket = std::exchange(socket_, sockets::kInvalidHandle);
  begin_ = end_ = 0;
  peer_closed_ = false;
  if (connected_) ended_ = true;
  connected_ = false;
  if (!sockets::CloseSocket(socket)) return Fail(sockets::LastError());
  return true;
}

}  // namespace vesk
