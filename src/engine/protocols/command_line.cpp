#include "engine/protocols/command_line.h"

#include <cstring>
#include <limits>

#include "engine/common/ascii.h"

namespace vesk {

bool FormatWithCallerText(char (&buffer)[kCommandBufferSize], const char* command_template, std::string_view text) {
  return !HasLineBreakOrNul(text) && FormatIntoCommandBuffer(buffer, command_template, std::string(text).c_str());
}

std::int32_t LeadingInteger(const char* text) {
  // The white space of the C locale's isspace.
  while (*text != '\0' && std::strchr(" \t\n\v\f\r", *text) != nullptr) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > kLimit + 1) value = kLimit + 1;  // held; more digits change nothing
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value > kLimit ? kLimit : value);
}

}  // namespace vesk
