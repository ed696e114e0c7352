#pragma once

// The TLS seam: one client session of TLS 1.2 or newer over memory buffers,
// with an OpenSSL side (tls_posix.cpp) and a Schannel side (tls_win.cpp).
// The session never touches a socket: SocketConnection hands it the bytes it
// received and sends the bytes it produces, so waiting and time-outs stay in
// one place for plain and encrypted connections alike.
//
// The server's certificate is checked once the handshake is done: its chain
// must end at a trusted root, it must be valid now, and it must be issued for
// the host name (or, for a host given as an address, that address). SNI
// carries the host name when it is not an address.

#include <cstddef>
#include <memory>
#include <string>

namespace vesk::tls {

struct Options {
  std::string host;
  bool verify_certificate = true;
  // A PEM file of certificate authorities trusted beside the system's store
  // (OpenSSL side only; empty: none). Tests use it for their private CA.
  std::string extra_ca_file;
};

// Why a session failed, so that the caller can say what a user can act on.
enum class Failure { kNone, kHandshake, kUntrusted, kExpired, kWrongName };

enum class Progress { kDone, kMore, kFailed };

class Session {
 public:
  static std::unique_ptr<Session> Create(const Options& options);
  virtual ~Session() = default;

  // One step of the handshake: `received` (possibly empty) is what came from
  // the server since the last step; what must go to the server is appended
  // to `to_send`. Bytes received past the handshake are kept for Decrypt.
  virtual Progress Handshake(const char* received, std::size_t size, std::string& to_send) = 0;

  // Appends the records that carry `data` to `out`. False on failure.
  virtual bool Encrypt(const char* data, std::size_t size, std::string& out) = 0;

  // Hands over bytes received from the server.
  virtual void Feed(const char* data, std::size_t size) = 0;
  // Up to `room` bytes of decrypted data: their count, 0 when more must be
  // received first, -1 when the server closed the session (close_notify) or
  // the records are damaged.
  virtual int Decrypt(char* out, std::size_t room) = 0;

  // The close_notify alert to send before closing (may be empty).
  virtual std::string CloseNotify() = 0;

  // "TLS 1.2, ECDHE-RSA-AES256-GCM-SHA384" or similar, once connected.
  virtual std::string Description() const = 0;

  Failure failure() const { return failure_; }
  // The platform's reason for a failure; for kWrongName, the name the
  // certificate was issued for.
  const std::string& reason() const { return reason_; }

 protected:
  Progress Fail(Failure failure, std::string reason) {
    failure_ = failure;
    reason_ = std::move(reason);
    return Progress::kFailed;
  }

 private:
  Failure failure_ = Failure::kNone;
  std::string reason_;
};

}  // namespace vesk::tls
