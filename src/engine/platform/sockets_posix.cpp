// POSIX side of the sockets seam. Failures keep their reason in a per-thread
// slot as the Windows Sockets number, the way WSAGetLastError does on Windows,
// so that errno being overwritten by later calls cannot lose it.

#include "engine/platform/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>

namespace vesk::sockets {
namespace {

thread_local int t_last_error = 0;

int ToWindowsSocketsError(int posix_error) {
  switch (posix_error) {
    case 0: return 0;
    case EINTR: return kErrInterrupted;
    case EBADF: return kErrNotSocket;
    case ENOTSOCK: return kErrNotSocket;
    case EACCES: case EPERM: return kErrAccess;
    case EFAULT: return kErrFault;
    case EINVAL: return kErrInvalid;
    case EMFILE: case ENFILE: return kErrTooManySockets;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return kErrWouldBlock;
    case EINPROGRESS: return kErrInProgress;
    case EALREADY: return kErrAlready;
    case EMSGSIZE: return kErrMessageSize;
    case EPROTOTYPE: return kErrProtocolType;
    case EPROTONOSUPPORT: return kErrProtocolSupport;
    case EOPNOTSUPP: return kErrNotSupported;
    case EAFNOSUPPORT: return kErrFamilySupport;
    case EADDRINUSE: return kErrAddressInUse;
    case EADDRNOTAVAIL: return kErrAddressNotAvailable;
    case ENETDOWN: return kErrNetworkDown;
    case ENETUNREACH: return kErrNetworkUnreachable;
    case ENETRESET: return kErrNetworkReset;
    case ECONNABORTED: return kErrConnectionAborted;
    // A send to a peer that has gone gives EPIPE here and WSAECONNRESET there.
    case ECONNRESET: case EPIPE: return kErrConnectionReset;
    case ENOBUFS: case ENOMEM: return kErrNoBuffers;
    case EISCONN: return kErrAlreadyConnected;
    case ENOTCONN: return kErrNotConnected;
    case ESHUTDOWN: return kErrShutDown;
    case ETIMEDOUT: return kErrTimedOut;
    case ECONNREFUSED: return kErrConnectionRefused;
    case ENAMETOOLONG: return kErrNameTooLong;
    case EHOSTDOWN: return kErrHostDown;
    case EHOSTUNREACH: return kErrHostUnreachable;
    default: return kErrInvalid;
  }
}

void KeepErrno() { t_last_error = ToWindowsSocketsError(errno); }

int Descriptor(Handle socket) { return static_cast<int>(socket); }

bool IsUsable(Handle socket) {
  if (socket == kInvalidHandle || socket > static_cast<Handle>(INT32_MAX)) {
    t_last_error = kErrNotSocket;
    return false;
  }
  return true;
}

// One send, repeated when a signal interrupts it; a peer that has gone
// gives an error, never SIGPIPE.
ssize_t SendWithoutSignal(int descriptor, const char* data, int length, int flags) {
#ifdef MSG_NOSIGNAL
  flags |= MSG_NOSIGNAL;
#endif
  ssize_t sent;
  do {
    sent = ::send(descriptor, data, static_cast<size_t>(length), flags);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

}  // namespace

Handle CreateTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    KeepErrno();
    return kInvalidHandle;
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // see sockets.h
#ifdef SO_NOSIGPIPE
  // Systems without MSG_NOSIGNAL keep SIGPIPE away per socket instead.
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return static_cast<Handle>(fd);
}

bool MakeNonBlocking(Handle socket) {
  // Receives say MSG_DONTWAIT and timed sends too; the descriptor itself
  // stays blocking for the untimed sends.
  return IsUsable(socket);
}

bool Connect(Handle socket, Ipv4Address address, std::uint16_t port) {
  if (!IsUsable(socket)) return false;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  int rc;
  do {
    rc = ::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    KeepErrno();
    return false;
  }
  return true;
}

Ipv4Address ParseDottedAddress(const char* text) { return ::inet_addr(text); }

Ipv4Address LookUpHost(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    t_last_error = (rc == EAI_AGAIN) ? kErrTryAgain : kErrHostNotFound;
    return kNoAddress;
  }
  Ipv4Address address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return address;
}

int Send(Handle socket, const char* data, int length, int flags) {
  if (!IsUsable(socket)) return -1;
  const ssize_t sent = SendWithoutSignal(Descriptor(socket), data, length, flags);
  if (sent < 0) {
    KeepErrno();
    return -1;
  }
  return static_cast<int>(sent);
}

int SendWithin(Handle socket, const char* data, int length, int timeout_ms) {
  if (!IsUsable(socket)) return -1;
  // The send is tried first: a command fits the send buffer nearly always,
  // and then it costs one call. Only a full buffer is waited for.
  for (bool waited = false;; waited = true) {
    const ssize_t sent = SendWithoutSignal(Descriptor(socket), data, length, MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      KeepErrno();
      return -1;
    }
    if (waited || timeout_ms == 0) return 0;
    pollfd entry{Descriptor(socket), POLLOUT, 0};
    int rc;
    do {
      rc = ::poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
      KeepErrno();
      return -1;
    }
    if (rc == 0) return 0;
    // POLLERR or POLLHUP: the send that follows reports why.
  }
}

long PendingBytes(Handle socket) {
  if (!IsUsable(socket)) return -1;
  int pending = 0;
  if (::ioctl(Descriptor(socket), FIONREAD, &pending) != 0) {
    KeepErrno();
    return -1;
  }
  return pending;
}

int Receive(Handle socket, char* buffer, int length, ReceiveMode mode) {
  if (!IsUsable(socket)) return -1;
  int flags = MSG_DONTWAIT | (mode == ReceiveMode::kPeek ? MSG_PEEK : 0);
  ssize_t received;
  do {
    received = ::recv(Descriptor(socket), buffer, static_cast<size_t>(length), flags);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    KeepErrno();
    return -1;
  }
  return static_cast<int>(received);
}

int WaitReadable(Handle socket, int timeout_ms) {
  if (!IsUsable(socket)) return -1;
  // poll rather than select: a descriptor above FD_SETSIZE is fine here.
  pollfd entry{Descriptor(socket), POLLIN, 0};
  int rc = ::poll(&entry, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (rc < 0) {
    if (errno == EINTR) return 0;  // counts as a pause that ended early
    KeepErrno();
    return -1;
  }
  if (rc == 0) return 0;
  if (entry.revents & POLLNVAL) {
    t_last_error = kErrNotSocket;
    return -1;
  }
  return 1;  // POLLIN, POLLHUP or POLLERR: a receive will not block
}

Waiter CreateWaiter() { return 1; }  // poll needs nothing made beforehand

void CloseWaiter(Waiter) {}

int ReceiveWithin(Handle socket, Waiter, char* buffer, int length, int timeout_ms) {
  const int n = Receive(socket, buffer, length, ReceiveMode::kConsume);
  if (n >= 0 || t_last_error != kErrWouldBlock) return n;
  const int ready = WaitReadable(socket, timeout_ms);
  if (ready <= 0) {
    if (ready == 0) t_last_error = kErrWouldBlock;
    return -1;
  }
  return Receive(socket, buffer, length, ReceiveMode::kConsume);
}

bool CloseSocket(Handle socket) {
  if (!IsUsable(socket)) return false;
  // The descriptor is gone after close even when it reports EINTR.
  if (::close(Descriptor(socket)) != 0 && errno != EINTR) {
    KeepErrno();
    return false;
  }
  return true;
}

bool LocalHostName(char* buffer, int size) {
  if (size <= 0) {
    t_last_error = kErrFault;
    return false;
  }
  if (::gethostname(buffer, static_cast<size_t>(size)) != 0) {
    KeepErrno();
    return false;
  }
  // POSIX may leave a cut name without its NUL; Windows Sockets refuses a
  // buffer that is too small with WSAEFAULT, and so do we.
  if (std::memchr(buffer, '\0', static_cast<size_t>(size)) == nullptr) {
    buffer[size - 1] = '\0';
    t_last_error = kErrFault;
    return false;
  }
  return true;
}

void SleepMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  timespec rest{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

int LastError() { return t_last_error; }

void SetLastError(int error) { t_last_error = error; }

}  // namespace vesk::sockets
