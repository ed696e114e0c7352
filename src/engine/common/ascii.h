#pragma once

#include <string_view>

namespace vesk {

// Case folding of the ASCII letters A to Z only. Header field names,
// parameter names and encoding names are compared this way; bytes from 0x80
// are never folded, whatever the code page.
constexpr char AsciiToLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

constexpr bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace vesk
