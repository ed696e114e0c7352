#pragma once

#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// The machine's full DNS name when it has a domain; empty otherwise (new
// identifiers then use "localhost.localdomain").
inline std::string HostDomain() {
  char name[256];
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size)) return {};
  const std::string text(name, size);
  return text.find('.') == std::string::npos ? std::string() : text;
}

}  // namespace vesk::com
