#pragma once

#include <string>
#include <string_view>

namespace vesk {

// Mailbox names are written by callers with one hierarchy separator (a
// backslash) and by the server with its own delimiter. Replaces every
// occurrence of the first character of `from` by the first character of `to`;
// an empty `from` or `to` leaves the name as it is.
std::string MapSeparator(std::string_view name, std::string_view from, std::string_view to);

// Mailbox names on the wire (RFC 3501 section 5.1.3, modified UTF-7): the
// caller's names are UTF-8 text; printable ASCII other than "&" stays as it
// is, "&" becomes "&-", and every run of other characters becomes "&", the
// modified base64 of its UTF-16 units, "-". A byte that is not valid UTF-8 is
// taken as the character of the same number.
std::string EncodeMailboxName(std::string_view name);
// The reverse, into UTF-8; false (and `decoded` unusable) when the name is
// not valid modified UTF-7, which the caller then uses as it came.
bool DecodeMailboxName(std::string_view name, std::string& decoded);

// A name as the server wrote it, with the caller's separator for the server's
// delimiter, in UTF-8 when it is valid modified UTF-7 and as it came otherwise.
std::string ClientMailboxName(std::string_view server_name, std::string_view delimiter, std::string_view separator);
// A caller's name as the server takes it: the server's delimiter for the
// caller's separator, in modified UTF-7.
std::string ServerMailboxName(std::string_view client_name, std::string_view separator, std::string_view delimiter);

}  // namespace vesk
