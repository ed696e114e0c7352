#pragma once

// Internationalised domain names in their ASCII form: the A-labels of IDNA
// (RFC 5890 section 2.3.2.1), each "xn--" followed by the Punycode of a
// label (RFC 3492), for the envelope of a server that cannot take UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace vesk {

// The Punycode of a sequence of code points (RFC 3492 section 6.3), without
// the "xn--" prefix; the basic (ASCII) code points come first as they are.
// Nothing when a code point is not a Unicode scalar value or the result
// would overflow.
std::optional<std::string> PunycodeEncode(std::u32string_view code_points);

// The code points of UTF-8 text; nothing for bytes that are not well-formed
// UTF-8 (overlong forms, surrogates and values above U+10FFFF included).
std::optional<std::u32string> DecodeUtf8(std::string_view text);

// A domain name given in UTF-8 as the ASCII form a DNS lookup uses: every
// label holding a character outside ASCII becomes its A-label, the others
// stay as they are. Before encoding, a label's capital letters of the Latin,
// Greek and Cyrillic alphabets are made small (labels are registered in
// small letters); other characters must already be in the form a registry
// keeps (Unicode normalisation form C). Nothing for text that is not UTF-8,
// an empty label, a label or name longer than DNS allows (63 and 253
// octets, RFC 1035 section 2.3.4), a label beginning or ending with a
// hyphen, or a character that cannot stand in a host name (controls,
// spaces, "@", brackets and the like).
std::optional<std::string> DomainToAscii(std::string_view utf8_domain);

// Whether text holds a byte outside ASCII.
bool HasNonAscii(std::string_view text);

}  // namespace vesk
