#pragma once

// How a protocol client protects its connection, shared by SMTP, POP3 and
// IMAP4. kNone speaks the plain dialogue exactly as before; kStartTls
// upgrades after the greeting and fails when the server does not offer it
// (never falling back to plain text); kImplicitTls starts TLS before the
// first byte of the dialogue. The port is never changed by the choice.

#include <string>
#include <string_view>

#include "engine/net/socket_connection.h"

namespace vesk {

enum class Security : int { kNone = 0, kStartTls = 1, kImplicitTls = 2 };

struct TransportSecurity {
  Security mode = Security::kNone;
  bool verify_certificate = true;
  // Certificate authorities trusted beside the system's (OpenSSL side).
  std::string extra_ca_file;
};

// Runs the TLS handshake on `connection`; on failure `error` gets the
// message text a user can act on.
bool UpgradeToTls(SocketConnection& connection, const std::string& host, const TransportSecurity& security,
                  int timeout_ms, std::string& error);

// True when a capability list (one capability per line, or words separated
// by blanks) names `capability` as a whole word, in any letter case.
bool ListsCapability(std::string_view text, std::string_view capability);

}  // namespace vesk
