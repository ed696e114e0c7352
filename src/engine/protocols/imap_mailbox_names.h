#pragma once

#include <string>
#include <string_view>

namespace vesk {

// Mailbox names are written by callers with one hierarchy separator (a
// backslash) and by the server with its own delimiter. Replaces every
// occurrence of the first character of `from` by the first character of `to`;
// an empty `from` or `to` leaves the name as it is.
std::string MapSeparator(std::string_view name, std::string_view from, std::string_view to);

}  // namespace vesk
