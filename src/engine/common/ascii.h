#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

// Case folding of the ASCII letters A to Z only. Header field names,
// parameter names and encoding names are compared this way; bytes from 0x80
// are never folded, whatever the code page.
constexpr char AsciiToLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// The text with its ASCII letters in lower case.
inline std::string AsciiLowered(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiToLower(c);
  return lower;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

constexpr bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

// True when the text holds CR, LF or NUL: such text could end a command line
// or a header early and start another, so a caller's text that goes on the
// wire is checked with this, in every protocol.
constexpr bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The length of a line of `length` bytes whose last byte is its LF, without
// that LF and a CR just before it.
constexpr std::size_t WithoutLineEnd(const char* text, std::size_t length) {
  --length;
  if (length > 0 && text[length - 1] == '\r') --length;
  return length;
}

}  // namespace vesk
