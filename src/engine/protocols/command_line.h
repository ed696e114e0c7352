#pragma once

// Pieces shared by the SMTP and POP3 dialogues: building one command line from
// a printf-style template into the fixed command buffer, refusing caller text
// that could end a command early, and reading the numbers of reply lines.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vesk {

// Every command line (CR LF included) and every reply line a dialogue keeps
// fits this buffer, its last byte being the terminating NUL.
inline constexpr std::size_t kCommandBufferSize = 260;

// The integer at the start of a line, read as the C runtime reads one: white
// space skipped, an optional sign, decimal digits up to the first other
// character; 0 without digits. Values beyond 32 bits are held at the limit.
std::int32_t LeadingInteger(const char* text);

// Formats a printf-style command template into `buffer`. False (buffer
// contents then unspecified) when the result would not fit
// kCommandBufferSize - 1 bytes.
template <typename... Args>
bool FormatIntoCommandBuffer(char (&buffer)[kCommandBufferSize], const char* command_template, Args... args) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
  const int length = std::snprintf(buffer, kCommandBufferSize, command_template, args...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return length >= 0 && static_cast<std::size_t>(length) < kCommandBufferSize;
}

// Formats a template that takes one text of the caller's ("USER %s", "MAIL
// From: <%s>") into `buffer`. False when the text holds CR, LF or NUL (it
// could end the command early or start one of its own) or the line would not
// fit.
bool FormatWithCallerText(char (&buffer)[kCommandBufferSize], const char* command_template, std::string_view text);

}  // namespace vesk
