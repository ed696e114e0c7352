#pragma once

// The sockets seam: the few socket calls the engine makes, with a POSIX side
// (sockets_posix.cpp) and a Windows Sockets side (sockets_win.cpp). Everything
// above it is the same code on both systems. Errors are always reported as
// Windows Sockets numbers, on POSIX too, so that the texts built from them
// ("Socket error # 10060") are the same everywhere.
//
// Only calls that Windows Sockets 1.1 offers are used on Windows; starting
// Windows Sockets is the job of whoever loads the engine, never of this seam.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::sockets {

// A socket handle wide enough for a Windows SOCKET and a POSIX descriptor.
using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};

// IPv4 address in network byte order, as inet_addr gives it.
using Ipv4Address = std::uint32_t;
inline constexpr Ipv4Address kNoAddress = 0xFFFFFFFFu;  // INADDR_NONE

// The Windows Sockets error numbers the engine reports.
enum Error : int {
  kErrInterrupted = 10004,        // WSAEINTR
  kErrBadHandle = 10009,          // WSAEBADF
  kErrAccess = 10013,             // WSAEACCES
  kErrFault = 10014,              // WSAEFAULT
  kErrInvalid = 10022,            // WSAEINVAL: also a host name that does not resolve
  kErrTooManySockets = 10024,     // WSAEMFILE
  kErrWouldBlock = 10035,         // WSAEWOULDBLOCK
  kErrInProgress = 10036,         // WSAEINPROGRESS
  kErrAlready = 10037,            // WSAEALREADY
  kErrNotSocket = 10038,          // WSAENOTSOCK
  kErrMessageSize = 10040,        // WSAEMSGSIZE
  kErrProtocolType = 10041,       // WSAEPROTOTYPE
  kErrProtocolSupport = 10043,    // WSAEPROTONOSUPPORT
  kErrNotSupported = 10045,       // WSAEOPNOTSUPP
  kErrFamilySupport = 10047,      // WSAEAFNOSUPPORT
  kErrAddressInUse = 10048,       // WSAEADDRINUSE
  kErrAddressNotAvailable = 10049,  // WSAEADDRNOTAVAIL
  kErrNetworkDown = 10050,        // WSAENETDOWN
  kErrNetworkUnreachable = 10051,  // WSAENETUNREACH
  kErrNetworkReset = 10052,       // WSAENETRESET
  kErrConnectionAborted = 10053,  // WSAECONNABORTED
  kErrConnectionReset = 10054,    // WSAECONNRESET
  kErrNoBuffers = 10055,          // WSAENOBUFS
  kErrAlreadyConnected = 10056,   // WSAEISCONN
  kErrNotConnected = 10057,       // WSAENOTCONN
  kErrShutDown = 10058,           // WSAESHUTDOWN
  kErrTimedOut = 10060,           // WSAETIMEDOUT
  kErrConnectionRefused = 10061,  // WSAECONNREFUSED
  kErrNameTooLong = 10063,        // WSAENAMETOOLONG
  kErrHostDown = 10064,           // WSAEHOSTDOWN
  kErrHostUnreachable = 10065,    // WSAEHOSTUNREACH
  kErrHostNotFound = 11001,       // WSAHOST_NOT_FOUND
  kErrTryAgain = 11002,           // WSATRY_AGAIN
  kErrNoRecovery = 11003,         // WSANO_RECOVERY
  kErrNoData = 11004,             // WSANO_DATA
  // Not a socket's own: the caller stopped the transfer (ERROR_CANCELLED).
  kErrCancelled = 1223,
};

// A blocking IPv4 stream socket, or kInvalidHandle. Its sends go at once
// (TCP_NODELAY): each is a whole command, a pipelined group or a piece of a
// message, so holding a short one back for a fuller segment (Nagle's rule)
// gains nothing and makes it wait for the server's delayed acknowledgement,
// as the end-of-data line after a metered message did (about 40 ms a send).
Handle CreateTcpSocket();

// Connects to address:port (port in host byte order). No time-out of its own.
bool Connect(Handle socket, Ipv4Address address, std::uint16_t port);

// A dotted-decimal address (inet_addr), or kNoAddress.
Ipv4Address ParseDottedAddress(const char* text);

// The first IPv4 address of a host name, or kNoAddress (last error set).
Ipv4Address LookUpHost(const char* name);

// After a connect: receives and timed sends never block from now on (a
// receive with nothing there fails with 10035, WSAEWOULDBLOCK).
bool MakeNonBlocking(Handle socket);

// One send that blocks until it hands over something; the count handed over,
// or -1. Never raises SIGPIPE.
int Send(Handle socket, const char* data, int length, int flags);

// Hands over what fits without blocking; only when nothing fits does it wait
// up to timeout_ms (without limit when negative) for room and try once more.
// The count handed over, 0 when no room came in time, or -1. A peer that
// stopped reading can therefore never hold a sender longer than it chose to
// wait.
int SendWithin(Handle socket, const char* data, int length, int timeout_ms);

// The count of bytes that can be received at once (FIONREAD), or -1.
long PendingBytes(Handle socket);

enum class ReceiveMode { kConsume, kPeek };

// One recv call that never blocks: the count received, 0 at the end of the
// stream, or -1 (10035 when nothing is there yet).
int Receive(Handle socket, char* buffer, int length, ReceiveMode mode);

// Waits up to timeout_ms for the socket to become readable (which includes
// the end of the stream): 1 readable, 0 not within the time, -1 failure.
int WaitReadable(Handle socket, int timeout_ms);

// What ReceiveWithin waits on: an event under Windows Sockets, nothing
// elsewhere. kNoWaiter when none could be made (ReceiveWithin then waits for
// readability and receives after it).
using Waiter = std::uintptr_t;
inline constexpr Waiter kNoWaiter = 0;
Waiter CreateWaiter();
void CloseWaiter(Waiter waiter);

// One receive that waits up to timeout_ms for bytes: the count received, 0
// at the end of the stream, or -1 (10035 when nothing came in time). Under
// Windows Sockets it is one overlapped receive waited on with `waiter`, where
// a wait for readability and a receive after it cost twice the requests
// (under Wine, each a round trip to its server). The buffer is never written
// after the call returns.
int ReceiveWithin(Handle socket, Waiter waiter, char* buffer, int length, int timeout_ms);

bool CloseSocket(Handle socket);

// The local host name into a buffer of the given size (NUL included).
bool LocalHostName(char* buffer, int size);

// Sleeps the calling thread (a pause that no socket event can end).
void SleepMilliseconds(int milliseconds);

// The calling thread's last socket error, as a Windows Sockets number.
int LastError();
void SetLastError(int error);

}  // namespace vesk::sockets
