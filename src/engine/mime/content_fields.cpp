#include "engine/mime/content_fields.h"

#include "engine/common/ascii.h"
#include "engine/mime/field_list.h"
#include "engine/mime/text_mode.h"

namespace vesk {
namespace {

void AppendQuoted(std::string& out, std::string_view value) {
  out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

bool SubtypeNeedsQuotes(std::string_view subtype) {
  if (!subtype.empty() && subtype.front() == '"') return true;
  for (const char c : subtype) {
    if (IsCSpace(c) || c == ';') return true;
  }
  return false;
}

size_t SkipSpace(std::string_view text, size_t position) {
  while (position < text.size() && IsCSpace(text[position])) ++position;
  return position;
}

size_t SkipPast(std::string_view text, size_t position, char separator) {
  const size_t found = text.find(separator, position);
  return found == std::string_view::npos ? text.size() : found + 1;
}

// A run up to white space or one of `stops`.
size_t TakeRun(std::string_view text, size_t position, std::string_view stops, std::string& token) {
  const size_t start = position;
  while (position < text.size() && !IsCSpace(text[position]) && stops.find(text[position]) == std::string_view::npos) {
    ++position;
  }
  token.assign(text.substr(start, position - start));
  return position;
}

// A quoted string that starts at `position` (on the opening quote). Only the
// pairs \" and \\ are undone: a backslash before anything else stays, so that
// the unescaped Windows paths older mailers put into file names survive.
size_t TakeQuoted(std::string_view text, size_t position, std::string& token) {
  token.clear();
  ++position;
  while (position < text.size() && text[position] != '"') {
    const char c = text[position];
    if (c == '\\' && position + 1 < text.size() && (text[position + 1] == '"' || text[position + 1] == '\\')) {
      token += text[position + 1];
      position += 2;
      continue;
    }
    token += c;
    ++position;
  }
  return position;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xC2) || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}


namespace {

// RFC 2231 section 7: the characters an extended value may hold as they
// are; every other byte is written as "%" and two hex digits.
bool IsAttributeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
}

// A value that reads back as it stands without quotes after a name ending in
// "*": attribute characters, "%" and the quotes around charset and language.
bool IsExtendedValue(std::string_view value) {
  if (value.empty()) return false;
  for (const char c : value) {
    if (!IsAttributeChar(c) && c != '%' && c != '\'') return false;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The extended value of a parameter holding bytes outside ASCII, labelled
// with the charset the bytes are really in: UTF-8 as it stands; the caller's
// narrow text converted to UTF-8; and bytes that are neither (read from a
// sender who wrote them raw) labelled with the charset of this system's
// narrow text, the best guess there is, and never converted.
std::string ExtendedValueInItsCharset(std::string_view value, const TextMode& text_mode) {
  if (IsUtf8(value)) return ExtendedParameterValue(value);
  if (text_mode.narrow_charset() != "utf-8") return ExtendedParameterValue(text_mode.ToUtf8(value));
  return ExtendedParameterValue(value, text_mode.raw_text_charset());
}

// A value holding bytes outside ASCII (RFC 2231 sections 3 and 4):
// name*=utf-8''%XX..., or continued over name*0*, name*1*... so that no line
// passes 78 characters; a "%XX" is never split.
void AppendExtendedParameter(std::string& out, std::string_view name, std::string_view value,
                             const TextMode& text_mode) {
  constexpr size_t kMaxLine = 78;
  const std::string encoded = ExtendedValueInItsCharset(value, text_mode);
  // A TAB counts as 8 columns; the ";" after the piece as one more.
  if (8 + name.size() + 2 + encoded.size() + 1 <= kMaxLine) {
    out += ";\r\n\t";
    out += name;
    out += "*=";
    out += encoded;
    return;
  }
  size_t start = 0;
  for (int index = 0; start < encoded.size(); ++index) {
    const std::string piece_name = std::string(name) + '*' + std::to_string(index) + '*';
    const size_t room = kMaxLine > 8 + piece_name.size() + 2 + 3 ? kMaxLine - 8 - piece_name.size() - 2 : 3;
    size_t end = std::min(encoded.size(), start + room);
    if (end < encoded.size() && end >= 1 && encoded[end - 1] == '%') end -= 1;
    if (end < encoded.size() && end >= 2 && encoded[end - 2] == '%') end -= 2;
    out += ";\r\n\t";
    out += piece_name;
    out += '=';
    out += std::string_view(encoded).substr(start, end - start);
    start = end;
  }
}

}  // namespace

std::string ExtendedParameterValue(std::string_view bytes, std::string_view charset) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded(charset);
  encoded += "''";
  for (const char c : bytes) {
    if (IsAttributeChar(c)) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

void AppendComposedParameters(std::string& out, FieldList& parameters, const TextMode& text_mode) {
  for (size_t i = 0; i < parameters.Count(); ++i) {
    const Ref<Field> parameter = parameters.At(i);
    const std::string& name = parameter->name();
    const std::string value = parameter->ReadValue();
    if (!IsAscii(value) && !name.empty() && name.back() != '*' && IsAscii(name) &&
        name.find_first_of(" \t\r\n;=\"") == std::string::npos) {
      AppendExtendedParameter(out, name, value, text_mode);
      continue;
    }
    out += ";\r\n\t";
    out += name;
    out += '=';
    if (!name.empty() && name.back() == '*' && IsExtendedValue(value)) {
      out += value;
    } else {
      AppendQuoted(out, value);
    }
  }
}

std::string ComposeContentType(std::string_view type, std::string_view subtype, FieldList& parameters,
                               const TextMode& text_mode) {
  std::string text(type);
  text += '/';
  if (SubtypeNeedsQuotes(subtype)) {
    AppendQuoted(text, subtype);
  } else {
    text += subtype;
  }
  AppendComposedParameters(text, parameters, text_mode);
  return text;
}

std::string ComposeContentDisposition(std::string_view disposition, FieldList& parameters,
                                      const TextMode& text_mode) {
  std::string text(disposition);
  AppendComposedParameters(text, parameters, text_mode);
  return text;
}

namespace {

// A quoted string or a run up to white space or ";".
size_t TakeValue(std::string_view text, size_t position, std::string& value) {
  if (position < text.size() && text[position] == '"') return TakeQuoted(text, position, value);
  return TakeRun(text, position, ";", value);
}

}  // namespace

std::string Unfolded(std::string_view value) {
  std::string text;
  text.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\r' || c == '\n') {
      size_t next = i + 1;
      if (c == '\r' && next < value.size() && value[next] == '\n') ++next;
      if (next < value.size() && (value[next] == ' ' || value[next] == '\t')) {
        i = next - 1;
        continue;
      }
    }
    text += c;
  }
  return text;
}

size_t SplitMediaType(std::string_view text, std::string& type, std::string& subtype) {
  size_t position = TakeRun(text, SkipSpace(text, 0), "/;", type);
  position = SkipSpace(text, position);
  subtype.clear();
  if (position < text.size() && text[position] == '/') position = TakeValue(text, SkipSpace(text, position + 1), subtype);
  return SkipPast(text, position, ';');
}

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// RFC 2231 section 4: %XX stands for the byte XX; anything else stands for
// itself.
void AppendPercentDecoded(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
}

// The encoded text after "charset'language'", or all of it when the two
// quotes are missing; the charset (in lower case) goes to `charset` if given.
std::string_view WithoutCharsetAndLanguage(std::string_view text, std::string* charset) {
  const size_t first = text.find('\'');
  const size_t second = first == std::string_view::npos ? first : text.find('\'', first + 1);
  if (second == std::string_view::npos) return text;
  if (charset) {
    charset->clear();
    for (const char c : text.substr(0, first)) *charset += AsciiToLower(c);
  }
  return text.substr(second + 1);
}

}  // namespace

bool GetParameter(FieldList& parameters, std::string_view name, std::string& value, std::string* charset) {
  if (charset) charset->clear();
  if (parameters.Get(name, value)) return true;
  std::string key(name);
  key += '*';
  std::string piece;
  if (parameters.Get(key, piece)) {
    value.clear();
    AppendPercentDecoded(value, WithoutCharsetAndLanguage(piece, charset));
    return true;
  }
  value.clear();
  bool found = false;
  // There are never more pieces than parameters.
  for (size_t i = 0; i < parameters.Count(); ++i) {
    const std::string numbered = key + std::to_string(i);
    if (parameters.Get(numbered, piece)) {
      value += piece;
    } else if (parameters.Get(numbered + "*", piece)) {
      AppendPercentDecoded(value, i == 0 ? WithoutCharsetAndLanguage(piece, charset) : std::string_view(piece));
    } else {
      break;
    }
    found = true;
  }
  return found;
}

void ParseParameters(std::string_view text, size_t position, FieldList& parameters) {
  std::string name;
  std::string value;
  while ((position = SkipSpace(text, position)) < text.size()) {
    if (text[position] == ';') {  // an empty parameter
      ++position;
      continue;
    }
    position = SkipSpace(text, TakeRun(text, position, "=;", name));
    value.clear();
    if (position < text.size() && text[position] == '=') position = TakeValue(text, SkipSpace(text, position + 1), value);
    position = SkipPast(text, position, ';');
    if (!name.empty() || !value.empty()) parameters.Add(name, value);
  }
}

}  // namespace vesk
