#pragma once

// Header values on the wire (RFC 2047): a value holding bytes outside ASCII
// is written with encoded-words, in UTF-8, so that every receiver shows it as
// the caller wrote it. The field itself keeps the caller's text.

#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// How narrow text of the caller becomes UTF-8 for an encoded-word. The DLL
// sets the conversion from its ANSI code page once; until then the text is
// taken as UTF-8 already.
using NarrowToUtf8 = std::string (*)(std::string_view);
void SetNarrowToUtf8(NarrowToUtf8 convert);

// The caller's narrow text as UTF-8.
std::string NarrowTextToUtf8(std::string_view text);

// The other way: UTF-8 (a file name) as the caller's narrow text, false when
// a character has no place there. The DLL sets the conversion to its ANSI
// code page; until then narrow text is UTF-8 and every text converts.
using Utf8ToNarrow = bool (*)(std::string_view utf8, std::string& narrow);
void SetUtf8ToNarrow(Utf8ToNarrow convert);
bool Utf8TextToNarrow(std::string_view utf8, std::string& narrow);

// The MIME name of the charset of the caller's narrow text, which labels text
// parts at rendering: what the DLL sets for its ANSI code page, "utf-8" until
// then.
void SetNarrowCharset(std::string_view mime_name);
std::string NarrowCharset();
// The charset raw 8-bit bytes that are no UTF-8 are taken to be in: the
// system's narrow charset, or ISO-8859-1 where that is UTF-8.
std::string RawTextCharset();

// While one lives on a thread with `active` true, the caller's narrow text is
// UTF-8 there (a message in the Unicode mode is being written): it is taken
// as it is and labelled "utf-8".
class Utf8TextScope {
 public:
  explicit Utf8TextScope(bool active);
  ~Utf8TextScope();
  Utf8TextScope(const Utf8TextScope&) = delete;
  Utf8TextScope& operator=(const Utf8TextScope&) = delete;

 private:
  bool previous_;
};

// "=?utf-8?Q?...?=" (or B, whichever is shorter) words for `text`, each at
// most 75 characters and never splitting a character, separated by CR LF and
// a space where a line starting at column `column` would pass 78.
std::string EncodedWords(std::string_view utf8_text, std::size_t column);

// The value of field `name` as it goes on the wire. ASCII values are
// returned as they are. In address fields the display names holding bytes
// outside ASCII are encoded (when the addresses themselves are ASCII); in any
// other field the run from the first to the last word holding such a byte.
std::string WireHeaderValue(std::string_view name, std::string_view value);

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
