#pragma once

// The text of the Content-Type and Content-Disposition fields (RFC 2045
// section 5.1, RFC 2183 section 2): composing it from a media type and its
// parameters, and taking it apart again.
//
// Composed parameters go one per line, each value between double quotes; a
// double quote or backslash inside a value is written as a quoted pair
// (RFC 5322 section 3.2.4), so no value can close its quotes early and smuggle
// in a parameter or a header line.

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

class FieldList;

// White space as the C library's space test sees it in the "C" locale: space,
// TAB, LF, VT, FF and CR. Bytes from 0x80 are never white space.
constexpr bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Appends ";", CR LF, TAB, name, "=" and the quoted value for every parameter
// of `parameters`, in list order.
void AppendComposedParameters(std::string& out, FieldList& parameters);

// "type/subtype" followed by the parameters. A subtype that the scanner would
// not read back as one token (it holds white space or ";", or starts with a
// double quote) is written as a quoted string.
std::string ComposeContentType(std::string_view type, std::string_view subtype, FieldList& parameters);
// The disposition word followed by the parameters.
std::string ComposeContentDisposition(std::string_view disposition, FieldList& parameters);

// The two-token scanner shared by the type/subtype split and by parameters.
// Starting at `position`, it skips white space, takes the first token up to
// white space or `first_separator`, moves past that separator, skips white
// space and takes the second token: a quoted string (up to the closing quote,
// with the quoted pairs \" and \\ undone) or a run up to white space or
// `second_separator`. It then moves past the second separator and returns the
// position where the next scan begins.
size_t ScanTwoTokens(std::string_view text, size_t position, char first_separator, char second_separator,
                     std::string& first, std::string& second);

// Appends every name=value pair of `text` from `position` on to `parameters`
// (pairs with an empty name and an empty value are skipped; repeated names
// are all kept, in order).
void ParseParameters(std::string_view text, size_t position, FieldList& parameters);

}  // namespace vesk
