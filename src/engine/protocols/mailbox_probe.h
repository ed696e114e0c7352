#pragma once

// Asks the mail server of an address's domain whether it knows the mailbox:
// one short SMTP dialogue (RFC 5321 sections 3.5 and 4.1.1.6), with the
// domain itself taken as the host name (no mail-exchanger lookup).
//
//   greeting 220, HELO <local host> 250, VRFY <local part> 250: known;
//   otherwise RSET (any reply), EXPN <local part> 250: known; else not.
//
// No QUIT is sent; the connection is closed at the end in every case.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk {

class MailboxProbe {
 public:
  static constexpr std::uint16_t kDefaultPort = 25;
  static constexpr int kDefaultTimeOutMs = 5000;
  static constexpr std::size_t kHostNameSize = 80;

  // Tests point the probe at a server of their own; the domain still names
  // the mailbox. An empty host means the domain.
  void set_host(std::string host) { host_ = std::move(host); }
  void set_port(std::uint16_t port) { port_ = port; }
  void set_timeout_ms(int timeout_ms) { timeout_ms_ = timeout_ms; }

  // True when the server confirms the mailbox. A local part or domain that
  // holds CR, LF, NUL or white space, or is longer than 79 characters (or an
  // empty domain), is refused before anything is sent.
  bool Probe(std::string_view domain, std::string_view local_part) const;

 private:
  std::string host_;
  std::uint16_t port_ = kDefaultPort;
  int timeout_ms_ = kDefaultTimeOutMs;
};

// The check of IMailAddress: the syntax rule always; when check_mode is not 0
// (syntax only), also the probe of the mailbox.
bool CheckMailAddress(std::string_view address, int check_mode,
                      const MailboxProbe& probe = MailboxProbe());

}  // namespace vesk
