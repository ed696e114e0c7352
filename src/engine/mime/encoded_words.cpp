#include "engine/mime/encoded_words.h"

#include <algorithm>
#include <optional>

#include "engine/common/ascii.h"
#include "engine/mime/addresses.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/idna.h"

namespace vesk {
namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kQPrefix = "=?utf-8?Q?";
constexpr std::string_view kBPrefix = "=?utf-8?B?";
constexpr std::size_t kMaxWord = 75;   // RFC 2047 section 2
constexpr std::size_t kMaxLine = 78;   // RFC 5322 section 2.1.1

// Characters that stand for themselves in a Q word of a header (RFC 2047
// section 5 (3)); a space is written as "_".
bool IsPlainInQ(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
         c == '+' || c == '-' || c == '/';
}

std::size_t QLength(std::string_view bytes) {
  std::size_t length = 0;
  for (const char c : bytes) length += IsPlainInQ(c) || c == ' ' ? 1 : 3;
  return length;
}

void AppendQ(std::string& out, std::string_view bytes) {
  for (const char c : bytes) {
    if (IsPlainInQ(c)) {
      out += c;
    } else if (c == ' ') {
      out += '_';
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '=';
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 15];
    }
  }
}

void AppendB(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned group = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(group >> shift) & 63];
  }
  if (i < bytes.size()) {
    const unsigned high = static_cast<unsigned char>(bytes[i]);
    const unsigned low = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const unsigned group = (high << 16) | (low << 8);
    out += kBase64[(group >> 18) & 63];
    out += kBase64[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64[(group >> 6) & 63] : '=';
    out += '=';
  }
}

// Length of the UTF-8 character that starts with `lead` (1 for a byte that
// starts none, so that no text can stall the split).
std::size_t CharacterLength(unsigned char lead) {
  return lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

// The longest run of whole characters from `text` whose word fits in
// `room` characters (at least one character, so that every text advances).
std::size_t FittingPrefix(std::string_view text, std::size_t room) {
  std::size_t taken = 0;
  while (taken < text.size()) {
    const std::size_t next =
        std::min(text.size(), taken + CharacterLength(static_cast<unsigned char>(text[taken])));
    const std::string_view candidate = text.substr(0, next);
    const std::size_t q = kQPrefix.size() + QLength(candidate) + 2;
    const std::size_t b = kBPrefix.size() + (candidate.size() + 2) / 3 * 4 + 2;
    if (std::min(q, b) > room) break;
    taken = next;
  }
  return taken == 0 && !text.empty() ? CharacterLength(static_cast<unsigned char>(text[0])) : taken;
}

bool IsAddressField(std::string_view name) {
  for (const std::string_view field : {"From", "To", "Cc", "Bcc", "Reply-To", "Sender", "Resent-From", "Resent-To",
                                       "Resent-Cc", "Resent-Bcc", "Resent-Sender"}) {
    if (EqualsIgnoringAsciiCase(name, field)) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool DecodeQ(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=') {
      if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) return false;
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return true;
}

bool DecodeB(std::string_view text, std::string& out) {
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const char* found = std::char_traits<char>::find(kBase64, 64, c);
    if (!found) return false;
    bits = (bits << 6) | static_cast<unsigned>(found - kBase64);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return true;
}

// An encoded-word at the start of `text`: its length, or 0 when there is none.
std::size_t ReadEncodedWord(std::string_view text, HeaderTextRun& run) {
  if (text.substr(0, 2) != "=?") return 0;
  const std::size_t charset_end = text.find('?', 2);
  if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() || text[charset_end + 2] != '?') {
    return 0;
  }
  const char encoding = text[charset_end + 1];
  const std::size_t end = text.find("?=", charset_end + 3);
  if (end == std::string_view::npos) return 0;
  const std::string_view encoded = text.substr(charset_end + 3, end - charset_end - 3);
  if (encoded.find_first_of(" \t\r\n") != std::string_view::npos) return 0;
  std::string_view charset = text.substr(2, charset_end - 2);
  charset = charset.substr(0, charset.find('*'));  // RFC 2231 section 5: a language after "*"
  run.bytes.clear();
  const bool decoded = (encoding == 'Q' || encoding == 'q')   ? DecodeQ(encoded, run.bytes)
                       : (encoding == 'B' || encoding == 'b') ? DecodeB(encoded, run.bytes)
                                                              : false;
  if (!decoded || charset.empty()) return 0;
  run.charset.clear();
  for (const char c : charset) run.charset += AsciiToLower(c);
  run.original.assign(text.substr(0, end + 2));
  return end + 2;
}

// The UTF-8 text that encoded-words labelled utf-8 carry for narrow header
// text; nothing when the bytes are not UTF-8 even so (a loaded message's raw
// bytes in another charset, which the label would misname: those go out as
// the sender wrote them).
std::optional<std::string> WordText(std::string_view narrow, const TextMode& text_mode) {
  std::string utf8 = text_mode.ToUtf8(narrow);
  if (!DecodeUtf8(utf8)) return std::nullopt;
  return utf8;
}

// An address field on the wire (RFC 2047 section 5 (3)): each display name
// holding a byte outside ASCII becomes encoded-words in its entirety, so no
// special character of the name ("," "<" quotes) is left to split the entry
// differently; entries go one a line. The rewrite is used only when the whole
// result is ASCII: where an address itself holds such bytes (encoded-words
// cannot carry those) the value goes as it stands. Either way the result is
// what the next rendering of the text read back writes again: ASCII text is
// always written as it stands.
std::string WireAddressValue(std::string_view folded, std::string_view value, std::size_t start_column,
                             const TextMode& text_mode) {
  std::string out;
  for (const std::string& entry : SplitAddressEntries(value)) {
    if (!out.empty()) out += ",\r\n ";
    const Ref<AddressItem> item = MakeRef<AddressItem>(entry);
    if (IsAscii(item->Name())) {
      if (const std::size_t start = entry.find_first_not_of(" \t"); start != std::string::npos) {
        out += std::string_view(entry).substr(start);
      }
      continue;
    }
    const std::optional<std::string> name = WordText(item->Name(), text_mode);
    if (!name) return std::string(folded);
    out += EncodedWords(*name, out.empty() ? start_column : 1);
    out += " <";
    out += item->Address();
    out += '>';
  }
  return IsAscii(out) ? out : std::string(folded);
}

}  // namespace

std::vector<HeaderTextRun> DecodeEncodedWords(std::string_view text) {
  std::vector<HeaderTextRun> runs;
  std::string plain;
  std::size_t i = 0;
  bool after_word = false;
  while (i < text.size()) {
    HeaderTextRun word;
    if (const std::size_t length = ReadEncodedWord(text.substr(i), word)) {
      // White space between two encoded-words is not shown.
      if (after_word && plain.find_first_not_of(" \t\r\n") == std::string::npos) plain.clear();
      if (!plain.empty()) runs.push_back({"", std::move(plain), ""});
      plain.clear();
      // Adjacent words in the same charset join, so that a character split
      // between them comes out whole.
      if (after_word && !runs.empty() && runs.back().charset == word.charset) {
        runs.back().bytes += word.bytes;
        runs.back().original += word.original;
      } else {
        runs.push_back(std::move(word));
      }
      after_word = true;
      i += length;
      continue;
    }
    if (!IsSpaceOrTab(text[i]) && text[i] != '\r' && text[i] != '\n') after_word = false;
    plain += text[i++];
  }
  if (!plain.empty()) runs.push_back({"", std::move(plain), ""});
  return runs;
}

std::string EncodedWords(std::string_view utf8_text, std::size_t column) {
  // The smallest word worth starting on a line that has already begun.
  constexpr std::size_t kSmallestWord = 20;
  std::string out;
  while (!utf8_text.empty()) {
    const std::size_t separator = out.empty() ? 0 : 1;
    std::size_t room = column + separator < kMaxLine ? kMaxLine - column - separator : 0;
    if (!out.empty() && room < kSmallestWord) {
      out += "\r\n";
      column = 0;
      room = kMaxLine - 1;
    }
    const std::string_view piece =
        utf8_text.substr(0, FittingPrefix(utf8_text, std::clamp(room, kSmallestWord, kMaxWord)));
    utf8_text.remove_prefix(piece.size());
    std::string word;
    const bool q = QLength(piece) <= (piece.size() + 2) / 3 * 4;
    word += q ? kQPrefix : kBPrefix;
    if (q) {
      AppendQ(word, piece);
    } else {
      AppendB(word, piece);
    }
    word += "?=";
    if (!out.empty()) {
      if (column + 1 + word.size() > kMaxLine) {
        out += "\r\n";
        column = 0;
      }
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
  }
  return out;
}

namespace {

// Structured fields whose syntax has no place for encoded-words (RFC 2047
// section 5): bytes outside ASCII in them are written as they stand.
bool IsStructuredField(std::string_view name) {
  for (const std::string_view structured :
       {"Content-Type", "Content-Disposition", "Content-Transfer-Encoding", "Content-ID", "Mime-Version",
        "Message-ID", "In-Reply-To", "References", "Date", "Received", "Return-Path", "Resent-Date",
        "Resent-Message-ID", "Content-Location"}) {
    if (EqualsIgnoringAsciiCase(name, structured)) return true;
  }
  return false;
}

}  // namespace

std::string WireHeaderValue(std::string_view name, std::string_view folded, const TextMode& text_mode) {
  if (IsAscii(folded) || IsStructuredField(name)) return std::string(folded);
  const std::string unfolded = Unfolded(folded);
  const std::string_view value = unfolded;
  const std::size_t start_column = name.size() + 2;  // "Name: "
  if (IsAddressField(name)) return WireAddressValue(folded, value, start_column, text_mode);
  // Unstructured: the words before the first and after the last word with a
  // byte outside ASCII stay as they are; the run between becomes encoded-words
  // (its spaces inside them, since white space between encoded-words is not
  // shown).
  std::size_t first = 0;
  while (static_cast<unsigned char>(value[first]) < 0x80) ++first;
  std::size_t last = value.size();
  while (static_cast<unsigned char>(value[last - 1]) < 0x80) --last;
  while (first > 0 && !IsSpaceOrTab(value[first - 1])) --first;
  while (last < value.size() && !IsSpaceOrTab(value[last])) ++last;
  const std::optional<std::string> words = WordText(value.substr(first, last - first), text_mode);
  if (!words) return std::string(folded);
  std::string out(value.substr(0, first));
  out += EncodedWords(*words, start_column + first);
  out += value.substr(last);
  return out;
}

}  // namespace vesk
