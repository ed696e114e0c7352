#include "engine/platform/listener.h"

#ifdef _WIN32
#include "engine/platform/windows_support.h"
using AddressLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
using AddressLength = socklen_t;
#endif

namespace vesk::sockets {

Handle ListenOnLoopback(std::uint16_t* port) {
  const Handle listener = CreateTcpSocket();
  if (listener == kInvalidHandle) return kInvalidHandle;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  AddressLength length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = LastError();
    CloseSocket(listener);
    SetLastError(error);
    return kInvalidHandle;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

Handle AcceptWithin(Handle listener, int timeout_ms) {
  const int ready = WaitReadable(listener, timeout_ms);
  if (ready <= 0) {
    if (ready == 0) SetLastError(kErrTimedOut);
    return kInvalidHandle;
  }
  auto accepted = accept(listener, nullptr, nullptr);
  if (accepted == static_cast<decltype(accepted)>(-1)) return kInvalidHandle;
  return static_cast<Handle>(accepted);
}

}  // namespace vesk::sockets
