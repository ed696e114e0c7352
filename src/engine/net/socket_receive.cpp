// The receive side of a SocketConnection: its own buffer, the polls that fill
// it (plain bytes or what the TLS session decrypts), the pauses between them
// and the inactivity count that ends a read. The line readers take from the
// buffer (socket_line_readers.cpp).

#include "engine/net/socket_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace vesk {

void SocketConnection::Consume(std::size_t count) {
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;
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

bool SocketConnection::CanRead() { return connected_ || RefuseWithoutSocket(); }

}  // namespace vesk
