#pragma once

#include <optional>
#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// The machine's full DNS name when it has a domain, empty when it has none
// (new identifiers then use "localhost.localdomain"); nothing when the name
// could not be asked.
inline std::optional<std::string> AskHostDomain() {
  char name[256];
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size)) return std::nullopt;
  const std::string text(name, size);
  return text.find('.') == std::string::npos ? std::string() : text;
}

inline std::string HostDomain() { return AskHostDomain().value_or(std::string()); }

}  // namespace vesk::com
