// SocketConnection's lifetime and its failure bookkeeping: making and closing
// the connection object, recording an error, ending a session after a failed
// read or send. The rest of the class lives beside this file, one concern a
// file: socket_connect.cpp (connecting and the error texts),
// socket_timed_send.cpp, socket_receive.cpp (the receive buffer and its
// polls), socket_line_readers.cpp and socket_tls_upgrade.cpp.

#include "engine/net/socket_connection.h"

#include <utility>

namespace vesk {

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
