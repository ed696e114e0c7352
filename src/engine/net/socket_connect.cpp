// Connecting a SocketConnection, and the texts that say why a connect, a
// read or a send failed.

#include "engine/net/socket_connection.h"



#include "engine/common/error_texts.h"

namespace vesk {

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

}  // namespace vesk
