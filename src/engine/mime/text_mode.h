#pragma once

// What the caller's narrow text is in, as a value that travels with a
// message and its write options: the text of header fields and parameters
// is stored as the caller gave it, and whoever turns it into MIME text
// (encoded-words, RFC 2231 parameter values, the charset of a text part)
// needs to know how to read it.
//
// The default is the engine's own: the caller's text is UTF-8 and raw bytes
// that are no UTF-8 are taken as ISO-8859-1. A caller with text in another
// narrow charset (the automation layer's ANSI code page) builds its mode
// with Narrow and, for a message whose text crosses as UTF-8, takes
// Utf8Text of that.

#include <string>
#include <string_view>

namespace vesk {

class TextMode {
 public:
  using NarrowToUtf8 = std::string (*)(std::string_view narrow);
  // False when a character has no place in the narrow charset.
  using Utf8ToNarrow = bool (*)(std::string_view utf8, std::string& narrow);

  TextMode() = default;

  // Text in the narrow charset named `charset` (its MIME name), converted
  // to and from UTF-8 by the two functions.
  static TextMode Narrow(std::string_view charset, NarrowToUtf8 to_utf8, Utf8ToNarrow from_utf8);

  // The same system's mode for text that is UTF-8: taken as it stands and
  // labelled "utf-8"; raw bytes keep the charset they are taken to be in.
  TextMode Utf8Text() const;

  // Whether the caller's text is UTF-8 as it stands (no conversion).
  bool narrow_is_utf8() const { return narrow_is_utf8_; }

  // The caller's text as UTF-8.
  std::string ToUtf8(std::string_view narrow) const;
  // UTF-8 (a file name) as the caller's text; false when a character has no
  // place there.
  bool FromUtf8(std::string_view utf8, std::string& narrow) const;

  // The MIME name of the charset of the caller's text, which labels text
  // parts at rendering.
  const std::string& narrow_charset() const { return narrow_charset_; }
  // The charset raw 8-bit bytes that are no UTF-8 are taken to be in (bytes
  // a sender wrote, read back): the system's narrow charset, or ISO-8859-1
  // where that is UTF-8.
  const std::string& raw_text_charset() const { return raw_text_charset_; }

 private:
  bool narrow_is_utf8_ = true;
  NarrowToUtf8 to_utf8_ = nullptr;
  Utf8ToNarrow from_utf8_ = nullptr;
  std::string narrow_charset_ = "utf-8";
  std::string raw_text_charset_ = "iso-8859-1";
};

// One shared default-constructed mode, for readers and writers that are not
// told another.
const TextMode& DefaultTextMode();

}  // namespace vesk
