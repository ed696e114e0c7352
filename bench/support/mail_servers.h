#pragma once

// Where the private loopback mail servers of tools/mailservers.sh listen, and
// the account they serve, as the benchmarks read them from the environment
// (`tools/mailservers.sh env` prints the assignments).

#include <cstdlib>
#include <string>

namespace vesk::bench {

inline std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

inline const std::string& SmtpPort() {
  static const std::string port = Setting("VESK_SMTP_PORT", "2525");
  return port;
}
inline const std::string& Pop3Port() {
  static const std::string port = Setting("VESK_POP3_PORT", "2110");
  return port;
}
inline const std::string& ImapPort() {
  static const std::string port = Setting("VESK_IMAP_PORT", "2143");
  return port;
}
inline const std::string& User() {
  static const std::string user = Setting("VESK_MAIL_USER", "vesk");
  return user;
}
inline const std::string& Password() {
  static const std::string password = Setting("VESK_MAIL_PASSWORD", "vesk-pass");
  return password;
}
inline const std::string& Address() {
  static const std::string address = Setting("VESK_MAIL_ADDRESS", "vesk@localhost");
  return address;
}

}  // namespace vesk::bench
