// Sending on a SocketConnection: every byte handed over, continuing after
// short sends, plain or through the TLS session; a timed send ends the
// session when the peer takes nothing for the whole time-out.

#include "engine/net/socket_connection.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace vesk {
namespace {

// A send without a time limit blocks for as long as the peer lets it.
constexpr int kNoTimeLimit = -1;
// Plain data handed to the TLS session at a time when sending.
constexpr std::size_t kEncryptChunkSize = 64 * 1024;
// How soon after a reply a command goes out without looking first whether
// the peer has ended the stream (SendWithin).
constexpr std::chrono::milliseconds kFreshReply{100};

}  // namespace

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

}  // namespace vesk
