#include "engine/protocols/imap_mailbox_names.h"

#include <cstdint>

namespace vesk {

std::string MapSeparator(std::string_view name, std::string_view from, std::string_view to) {
  std::string mapped(name);
  if (from.empty() || to.empty()) return mapped;
  for (char& c : mapped) {
    if (c == from.front()) c = to.front();
  }
  return mapped;
}

namespace {

constexpr char kModifiedBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int ModifiedBase64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

// The next code point of UTF-8 text; a byte that does not begin a valid
// sequence stands for itself (as in ISO 8859-1), so that any text encodes.
char32_t NextCodePoint(std::string_view text, size_t& i) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  const int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length > 1 && i + static_cast<size_t>(length) <= text.size()) {
    char32_t code = lead & (0x7F >> length);
    bool valid = true;
    for (int k = 1; k < length; ++k) {
      valid = valid && (byte(i + k) & 0xC0) == 0x80;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && code >= kSmallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF)) {
      i += static_cast<size_t>(length);
      return code;
    }
  }
  ++i;
  return lead;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsPrintableAscii(char32_t code) { return code >= 0x20 && code <= 0x7E; }

}  // namespace

std::string EncodeMailboxName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  size_t i = 0;
  while (i < name.size()) {
    const char32_t code = NextCodePoint(name, i);
    if (code == '&') {
      out += "&-";
    } else if (IsPrintableAscii(code)) {
      out += static_cast<char>(code);
    } else {
      // A run of everything else: its UTF-16 units in modified base64.
      std::u16string units;
      for (char32_t run = code;;) {
        if (run >= 0x10000) {
          units += static_cast<char16_t>(0xD800 + ((run - 0x10000) >> 10));
          units += static_cast<char16_t>(0xDC00 + ((run - 0x10000) & 0x3FF));
        } else {
          units += static_cast<char16_t>(run);
        }
        if (i >= name.size()) break;
        size_t next = i;
        run = NextCodePoint(name, next);
        if (IsPrintableAscii(run)) break;
        i = next;
      }
      out += '&';
      uint32_t bits = 0;
      int count = 0;
      for (const char16_t unit : units) {
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
          count -= 6;
          out += kModifiedBase64[(bits >> count) & 0x3F];
        }
      }
      if (count > 0) out += kModifiedBase64[(bits << (6 - count)) & 0x3F];
      out += '-';
    }
  }
  return out;
}

bool DecodeMailboxName(std::string_view name, std::string& decoded) {
  decoded.clear();
  size_t i = 0;
  while (i < name.size()) {
    const char c = name[i++];
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    if (c != '&') {
      decoded += c;
      continue;
    }
    const size_t end = name.find('-', i);
    if (end == std::string_view::npos) return false;
    if (end == i) {  // "&-"
      decoded += '&';
      ++i;
      continue;
    }
    uint32_t bits = 0;
    int count = 0;
    char16_t high = 0;  // a high surrogate waiting for its partner
    for (; i < end; ++i) {
      const int value = ModifiedBase64Value(name[i]);
      if (value < 0) return false;
      bits = (bits << 6) | static_cast<uint32_t>(value);
      count += 6;
      if (count < 16) continue;
      count -= 16;
      const auto unit = static_cast<char16_t>((bits >> count) & 0xFFFF);
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (high) return false;
        high = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (!high) return false;
        AppendUtf8(decoded, 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00));
        high = 0;
      } else {
        if (high) return false;
        AppendUtf8(decoded, unit);
      }
    }
    // Left-over bits are padding: fewer than six, and zero.
    if (high || count >= 6 || (bits & ((1u << count) - 1)) != 0) return false;
    ++i;  // the "-"
  }
  return true;
}

std::string ClientMailboxName(std::string_view server_name, std::string_view delimiter, std::string_view separator) {
  const std::string mapped = MapSeparator(server_name, delimiter, separator);
  std::string decoded;
  return DecodeMailboxName(mapped, decoded) ? decoded : mapped;
}

std::string ServerMailboxName(std::string_view client_name, std::string_view separator, std::string_view delimiter) {
  return EncodeMailboxName(MapSeparator(client_name, separator, delimiter));
}

}  // namespace vesk
