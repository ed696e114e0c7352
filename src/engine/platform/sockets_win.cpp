// Windows Sockets side of the sockets seam. The calls are those of Windows
// Sockets 1.1, and the overlapped receive of Windows Sockets 2 (sockets made
// by socket() allow it); the library starts Windows Sockets when it is
// loaded.

#include "engine/platform/sockets.h"

#include "engine/platform/windows_support.h"

#include <cstring>

namespace vesk::sockets {
namespace {

SOCKET Native(Handle socket) { return static_cast<SOCKET>(socket); }

timeval Limit(int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  timeval limit;
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = (timeout_ms % 1000) * 1000;
  return limit;
}

}  // namespace

Handle CreateTcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidHandle;
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);  // see sockets.h
  return static_cast<Handle>(s);
}

bool Connect(Handle socket, Ipv4Address address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  return ::connect(Native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
}

Ipv4Address ParseDottedAddress(const char* text) { return ::inet_addr(text); }

Ipv4Address LookUpHost(const char* name) {
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list == nullptr ||
      host->h_addr_list[0] == nullptr) {
    if (host != nullptr) ::WSASetLastError(kErrNoData);
    return kNoAddress;
  }
  Ipv4Address address;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  return address;
}

bool MakeNonBlocking(Handle socket) {
  u_long non_blocking = 1;
  return ::ioctlsocket(Native(socket), FIONBIO, &non_blocking) == 0;
}

namespace {

// Waits for room in the send buffer: 1 room, 0 none in time, -1 failure. A
// negative time-out waits as long as it takes.
int WaitWritable(SOCKET socket, int timeout_ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(socket, &writable);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval limit = Limit(timeout_ms);
  const int rc = ::select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  return rc == SOCKET_ERROR ? -1 : rc > 0 ? 1 : 0;
}

}  // namespace

// The socket does not block once connected (MakeNonBlocking): a send is
// tried first, and only a full send buffer is waited for, so a command
// costs one call.
int SendWithin(Handle socket, const char* data, int length, int timeout_ms) {
  for (bool waited = false;; waited = true) {
    const int sent = ::send(Native(socket), data, length, 0);
    if (sent != SOCKET_ERROR) return sent;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (waited || timeout_ms == 0) return 0;
    const int ready = WaitWritable(Native(socket), timeout_ms);
    if (ready <= 0) return ready;
  }
}

int Send(Handle socket, const char* data, int length, int flags) {
  for (;;) {
    const int sent = ::send(Native(socket), data, length, flags);
    if (sent != SOCKET_ERROR) return sent;
    if (::WSAGetLastError() != WSAEWOULDBLOCK || WaitWritable(Native(socket), -1) < 0) return -1;
  }
}

long PendingBytes(Handle socket) {
  u_long pending = 0;
  if (::ioctlsocket(Native(socket), FIONREAD, &pending) != 0) return -1;
  return static_cast<long>(pending);
}

int Receive(Handle socket, char* buffer, int length, ReceiveMode mode) {
  int received = ::recv(Native(socket), buffer, length, mode == ReceiveMode::kPeek ? MSG_PEEK : 0);
  return received == SOCKET_ERROR ? -1 : received;
}

int WaitReadable(Handle socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  timeval limit = Limit(timeout_ms);
  int rc = ::select(0, &readable, nullptr, nullptr, &limit);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

Waiter CreateWaiter() {
  const WSAEVENT event = ::WSACreateEvent();
  return event == WSA_INVALID_EVENT ? kNoWaiter : reinterpret_cast<Waiter>(event);
}

void CloseWaiter(Waiter waiter) {
  if (waiter != kNoWaiter) ::WSACloseEvent(reinterpret_cast<WSAEVENT>(waiter));
}

// The receive is overlapped, so the socket's non-blocking mode does not
// apply to it: it either completes at once or is left pending, and then the
// event ends the wait. A receive still pending when the time is up is
// cancelled and waited for, so that it can no longer write to the buffer;
// bytes it took before the cancel are returned.
int ReceiveWithin(Handle socket, Waiter waiter, char* buffer, int length, int timeout_ms) {
  if (waiter == kNoWaiter) {
    const int n = Receive(socket, buffer, length, ReceiveMode::kConsume);
    if (n >= 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) return n;
    const int ready = WaitReadable(socket, timeout_ms);
    if (ready <= 0) {
      if (ready == 0) ::WSASetLastError(WSAEWOULDBLOCK);
      return -1;
    }
    return Receive(socket, buffer, length, ReceiveMode::kConsume);
  }
  const SOCKET s = Native(socket);
  WSABUF piece{static_cast<ULONG>(length), buffer};
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = reinterpret_cast<WSAEVENT>(waiter);
  DWORD received = 0;
  DWORD flags = 0;
  if (::WSARecv(s, &piece, 1, &received, &flags, &overlapped, nullptr) == 0) return static_cast<int>(received);
  if (::WSAGetLastError() != WSA_IO_PENDING) return -1;
  const ULONGLONG until = ::GetTickCount64() + static_cast<ULONGLONG>(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (::WaitForSingleObject(overlapped.hEvent, left) != WAIT_OBJECT_0) break;
    if (::WSAGetOverlappedResult(s, &overlapped, &received, FALSE, &flags)) return static_cast<int>(received);
    if (::WSAGetLastError() != WSA_IO_INCOMPLETE) return -1;
    // The event was set by something else than this receive: wait on.
    ::WSAResetEvent(overlapped.hEvent);
  }
  ::CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
  if (::WSAGetOverlappedResult(s, &overlapped, &received, TRUE, &flags)) return static_cast<int>(received);
  if (::WSAGetLastError() == WSA_OPERATION_ABORTED) ::WSASetLastError(WSAEWOULDBLOCK);
  return -1;
}

bool CloseSocket(Handle socket) { return ::closesocket(Native(socket)) == 0; }

bool LocalHostName(char* buffer, int size) { return ::gethostname(buffer, size) == 0; }

void SleepMilliseconds(int milliseconds) { ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0); }

int LastError() { return ::WSAGetLastError(); }

void SetLastError(int error) { ::WSASetLastError(error); }

}  // namespace vesk::sockets
