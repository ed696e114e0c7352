#pragma once

// Header values on the wire (RFC 2047): a value holding bytes outside ASCII
// is written with encoded-words, in UTF-8, so that every receiver shows it as
// the caller wrote it. The field itself keeps the caller's text.

#include <string>
#include <string_view>
#include <vector>

#include "engine/mime/text_mode.h"

namespace vesk {

// "=?utf-8?Q?...?=" (or B, whichever is shorter) words for `text`, each at
// most 75 characters and never splitting a character, separated by CR LF and
// a space where a line starting at column `column` would pass 78.
std::string EncodedWords(std::string_view utf8_text, std::size_t column);

// The value of field `name` as it goes on the wire, the caller's text taken
// in `text_mode`. ASCII values are returned as they are. In address fields
// the display names holding bytes outside ASCII are encoded (when the
// addresses themselves are ASCII); in any other field the run from the first
// to the last word holding such a byte.
std::string WireHeaderValue(std::string_view name, std::string_view value, const TextMode& text_mode);

// A header text read back: runs of plain text (charset empty) and of the
// bytes that encoded-words carry, with their charset and the words as they
// stood (for a reader that cannot convert the charset). White space between
// two adjacent encoded-words is not text (RFC 2047 section 6.2); something
// that looks like an encoded-word but does not decode stays plain text.
struct HeaderTextRun {
  std::string charset;  // in lower case; empty for plain text
  std::string bytes;
  std::string original;
};
std::vector<HeaderTextRun> DecodeEncodedWords(std::string_view text);

}  // namespace vesk
