#include "engine/net/transport_security.h"

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"

namespace vesk {

bool UpgradeToTls(SocketConnection& connection, const std::string& host, const TransportSecurity& security,
                  int timeout_ms, std::string& error) {
  tls::Options options;
  options.host = host;
  options.verify_certificate = security.verify_certificate;
  options.extra_ca_file = security.extra_ca_file;
  if (connection.StartTls(options, timeout_ms, security.mode == Security::kImplicitTls)) return true;
  error = connection.TlsError().empty() ? FormatMessageText(kMsgSocketError, connection.LastError())
                                        : connection.TlsError();
  return false;
}

bool ListsCapability(std::string_view text, std::string_view capability) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n", position);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    if (EqualsIgnoringAsciiCase(text.substr(start, end - start), capability)) return true;
    position = end;
  }
  return false;
}

}  // namespace vesk
