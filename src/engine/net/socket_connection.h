#pragma once

// SocketConnection: the one blocking IPv4 TCP client connection a protocol
// object talks through. Reads are line oriented and bounded by an inactivity
// time-out: a read fails with 10060 after fifty consecutive polls that find
// nothing, with a pause of TimeOut/50 milliseconds between two polls. A pause
// ends early as soon as bytes arrive, so a reply costs its round trip only.
//
// The connection keeps a receive buffer of its own. Every read takes exactly
// what it returns from that buffer; whatever the server sent after it stays
// there for the next read of the same connection.
//
// Failing operations give false or -1 and keep the reason as a Windows Sockets
// error number, both in LastError() and in the platform's last socket error.
//
// After StartTls every read and send goes through the TLS session; the
// readers above do not change. Decrypted bytes the session still holds count
// as pending, and received ciphertext that completes no record yet counts as
// activity, so the inactivity time-out means the same on both transports.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/common/progress.h"
#include "engine/platform/sockets.h"
#include "engine/platform/tls.h"

namespace vesk {

class SocketConnection {
 public:
  // Empty polls in a row that make a read fail with 10060.
  static constexpr int kEmptyPollsBeforeTimeOut = 50;
  // Size of the scratch buffer that takes the rest of an overlong reply line.
  static constexpr std::size_t kScratchSize = 1024;

  SocketConnection();
  ~SocketConnection();  // closes the socket
  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;

  // Obtains the socket. A second call while one is held keeps the first.
  bool Create();

  // Connects to a dotted IPv4 address or, when the host is not one, to the
  // first address a name lookup gives (10022 when the name does not resolve).
  // The connect has no time-out of its own.
  bool ConnectTo(const std::string& host, std::uint16_t port);

  // Connects for a new session. While connected it refuses with 10056 and
  // leaves the session alone; otherwise (never connected, a failed attempt,
  // or a session that has ended) it starts over with a fresh socket.
  bool Open(const std::string& host, std::uint16_t port);

  // Hands every byte to the socket, continuing after short sends. The count
  // sent (length), or -1.
  int SendBytes(const char* data, int length, int flags = 0);
  int SendBytes(std::string_view bytes);
  // The same with an inactivity time-out: a wait for room in the send buffer
  // that lasts timeout_ms without a byte going out fails with 10060. Such a
  // failure, like any other, ends the session (see ended()); so does a peer
  // that has already closed its side, at once, before anything is sent.
  int SendWithin(std::string_view bytes, int timeout_ms);

  // Reads one line into buffer[0 .. size-1), storing at most size-1 bytes and
  // a NUL. Returns the length stored, or -1. `complete` tells whether the
  // line's LF was reached: the LF and a CR just before it are removed then.
  // A line that does not fit is returned cut (complete false); the next read
  // goes on with its rest.
  int ReadLineRaw(char* buffer, std::size_t size, int timeout_ms, bool& complete);

  // Reads one reply line cut to size-1 bytes; the rest of a longer line, up to
  // and including its LF, is read and thrown away. The length stored, or -1.
  int ReadResponseLine(char* buffer, std::size_t size, int timeout_ms);

  // For readers of their own kind (the POP3 block reader): the inactivity
  // count of one read, the bytes received and not yet read, taking them, and
  // waiting for more (false on a time-out or a failure, which ends the
  // session). The receive buffer holds at most kReceiveBufferSize bytes.
  class InactivityClock;
  static constexpr std::size_t kReceiveBufferSize = 64 * 1024;
  bool CanRead();
  std::string_view Unread() const { return std::string_view(BufferedData(), Buffered()); }
  void Consume(std::size_t count);
  bool ReceiveMore(InactivityClock& clock);

  // For protocol layers that need more than fixed-size reply lines:
  // one whole line of any length, without its LF and the CR before it,
  bool ReadLine(std::string& line, int timeout_ms);
  // and exactly `count` bytes (an IMAP literal), appended to `bytes`.
  bool ReadBytes(std::string& bytes, std::size_t count, int timeout_ms);

  // Waits up to `milliseconds` for bytes to read, without ending the session
  // when none come (for a client that waits for news from its server):
  // 1 when bytes are there, 0 when the time is up, -1 when the connection
  // failed or the peer closed it (the session has then ended).
  int WaitForData(int milliseconds);

  // Makes the connection encrypted: whatever the server sent so far and is
  // not yet read is thrown away (RFC 3207 section 4.2, RFC 2595 section 4),
  // then the handshake runs under the same inactivity time-out as a read.
  // On failure the socket is closed, so nothing more goes out in plain text,
  // and TlsError() says why (a message text).
  // `at_connect`: the handshake starts the session (implicit TLS), so any
  // text the server sends first means the port speaks the plain protocol.
  bool StartTls(const tls::Options& options, int timeout_ms, bool at_connect = false);
  bool encrypted() const { return tls_ != nullptr; }
  // The negotiated protocol and cipher; empty on a plain connection.
  std::string TlsDescription() const { return tls_ ? tls_->Description() : std::string(); }
  const std::string& TlsError() const { return tls_error_; }

  // Closes the socket (after a close_notify on an encrypted connection).
  // True when there was nothing to close or the close succeeded; closing
  // twice is harmless.
  bool Close();

  // While set, every byte sent or received is counted on the meter; when
  // its listener asks to stop, the read or send fails with kErrCancelled
  // and the session is dropped.
  void set_meter(TransferMeter* meter) { meter_ = meter; }
  TransferMeter* meter() const { return meter_; }

  bool HasSocket() const { return socket_ != sockets::kInvalidHandle; }
  int LastError() const { return last_error_; }

  // Between a successful connect and the end of the session.
  bool connected() const { return connected_; }
  // A session was connected and is over: closed by its owner, or ended by a
  // failed read or timed send (a reply that arrives after a failure could not
  // be told from the reply to the next command). Reads and sends then fail
  // at once with 10057 until the next Open.
  bool ended() const { return ended_; }
  // The description of a failed Open: the host, the port and the system's
  // reason, for a person who has to tell a typing error from a server that
  // is down.
  std::string ConnectFailureText(const std::string& host, std::uint16_t port) const;

  // The description of the last failure of a read or send: "Socket error #
  // n", or the not-connected text when the session had already ended.
  std::string FailureText() const;

 private:
  // Ciphertext taken from the socket at a time: room for two full TLS records
  // with their overhead.
  static constexpr int kCiphertextChunkSize = 2 * (16384 + 2048);

  std::size_t Buffered() const { return end_ - begin_; }
  const char* BufferedData() const { return buffer_.get() + begin_; }
  int TakeWhatIsPending(int wait_ms = 0);
  int TakeDecrypted(bool may_receive, int wait_ms = 0);
  int ReceiveRaw(char* buffer, int room, int wait_ms = 0);
  bool SendRaw(const char* data, std::size_t length, int timeout_ms);
  bool Drop();
  // Counts bytes on the meter; false (the session dropped) when stopped.
  bool Meter(std::size_t bytes);
  bool RefuseWithoutSocket();
  bool PeerHasEnded();
  bool FailTls(std::string text);
  int Pause(int milliseconds);
  bool Fail(int error);
  int FailWithMinusOne(int error);

  sockets::Handle socket_ = sockets::kInvalidHandle;
  // What a receive that waits waits on; made with the first socket, kept for
  // the next ones.
  sockets::Waiter waiter_ = sockets::kNoWaiter;
  int last_error_ = 0;
  bool connected_ = false;
  TransferMeter* meter_ = nullptr;
  bool ended_ = false;
  // Set once the peer has ended the stream (or reset it): from then on the
  // socket is always readable, so pauses are slept instead of waited.
  bool peer_closed_ = false;
  // When bytes last arrived, and whether a send went out after them without
  // the look for the end of the stream (see SendWithin).
  std::chrono::steady_clock::time_point last_arrival_{};
  bool sent_unprobed_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::unique_ptr<tls::Session> tls_;
  // The records of one send, kept so that its capacity serves the next.
  std::string records_;
  // Set by a poll that received ciphertext but could not decrypt a byte yet.
  bool ciphertext_arrived_ = false;
  std::string tls_error_;
};

}  // namespace vesk

#include "engine/net/socket_inactivity_clock.h"
