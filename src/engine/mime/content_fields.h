#pragma once

// The text of the Content-Type and Content-Disposition fields (RFC 2045
// section 5.1, RFC 2183 section 2): composing it from a media type and its
// parameters, and taking it apart again.
//
// Composed parameters go one per line, each value between double quotes; a
// double quote or backslash inside a value is written as a quoted pair
// (RFC 5322 section 3.2.4), so no value can close its quotes early and smuggle
// in a parameter or a header line. A value holding bytes outside ASCII is
// written in the extended form of RFC 2231 (UTF-8, continued over several
// lines when long); an extended value read from text ("name*=...") is written
// without quotes again, as that form requires.

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

class FieldList;
class TextMode;

// White space as the C library's space test sees it in the "C" locale: space,
// TAB, LF, VT, FF and CR. Bytes from 0x80 are never white space.
constexpr bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A value in the extended form of RFC 2231 section 4, for a parameter named
// with a final "*": "utf-8''" and the UTF-8 bytes, those outside the
// attribute characters as "%XX".
std::string ExtendedParameterValue(std::string_view utf8, std::string_view charset = "utf-8");

// Appends ";", CR LF, TAB, name, "=" and the quoted value for every parameter
// of `parameters`, in list order. A value outside ASCII is the caller's text
// in `text_mode`, which says how it becomes the extended form.
void AppendComposedParameters(std::string& out, FieldList& parameters, const TextMode& text_mode);

// "type/subtype" followed by the parameters. A subtype that the scanner would
// not read back as one token (it holds white space or ";", or starts with a
// double quote) is written as a quoted string.
std::string ComposeContentType(std::string_view type, std::string_view subtype, FieldList& parameters,
                               const TextMode& text_mode);
// The disposition word followed by the parameters.
std::string ComposeContentDisposition(std::string_view disposition, FieldList& parameters,
                                      const TextMode& text_mode);

// The value of a structured field as it reads unfolded (RFC 5322 section
// 2.2.3): a line break followed by white space stands for the white space
// alone.
std::string Unfolded(std::string_view value);

// Splits "type/subtype; parameters" (unfolded text). The type ends at white
// space, "/" or ";"; without a "/" the subtype is empty. The subtype is a
// quoted string (with the quoted pairs \" and \\ undone) or a run up to white
// space or ";". Returns the position just past the ";" that begins the
// parameters (the end of the text when there is none).
size_t SplitMediaType(std::string_view text, std::string& type, std::string& subtype);

// Appends every name=value pair of `text` from `position` on to `parameters`
// (repeated names are all kept, in order). A name ends at white space, "=" or
// ";"; a value is a quoted string or a run up to white space or ";". Empty
// parameters (nothing but white space before a ";" or the end) are skipped.
void ParseParameters(std::string_view text, size_t position, FieldList& parameters);

// The value of parameter `name`, written plainly or in the forms of RFC 2231
// section 3 and 4: "name*" (charset'language'percent-encoded) or continued
// over "name*0", "name*1"... (each piece percent-encoded when its name ends
// in "*"). The bytes come back as they were encoded; the charset named in
// front of them (lower case) goes to `charset` when given (empty when none
// is named). False when no form is present.
// Whether the bytes are well-formed UTF-8 (RFC 3629).
bool IsUtf8(std::string_view text);

bool GetParameter(FieldList& parameters, std::string_view name, std::string& value, std::string* charset = nullptr);

}  // namespace vesk
