// Punycode (RFC 3492) and the A-labels of IDNA (RFC 5890, RFC 5891 section
// 4.4 for the ASCII form of a name).

#include "engine/mime/idna.h"

#include <cstdint>
#include <limits>

namespace vesk {

namespace {

// RFC 3492 section 5: the parameters of Punycode.
constexpr std::uint32_t kBase = 36;
constexpr std::uint32_t kTMin = 1;
constexpr std::uint32_t kTMax = 26;
constexpr std::uint32_t kSkew = 38;
constexpr std::uint32_t kDamp = 700;
constexpr std::uint32_t kInitialBias = 72;
constexpr std::uint32_t kInitialN = 0x80;

constexpr std::size_t kMaxLabelOctets = 63;
constexpr std::size_t kMaxNameOctets = 253;
constexpr std::string_view kAcePrefix = "xn--";

char Digit(std::uint32_t value) {
  return static_cast<char>(value < 26 ? 'a' + value : '0' + (value - 26));
}

// RFC 3492 section 6.1.
std::uint32_t Adapt(std::uint32_t delta, std::uint32_t points, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / points;
  std::uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

bool IsScalarValue(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Small letters for the capitals of Latin-1, Latin Extended-A, Greek and
// Cyrillic; everything else as it is.
char32_t SmallLetter(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
  if (c == 0x178) return 0xFF;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

// Full stops that separate labels as the ASCII one does (RFC 3490 section
// 3.1): ideographic, full-width and half-width ideographic.
bool IsLabelSeparator(char32_t c) { return c == '.' || c == 0x3002 || c == 0xFF0E || c == 0xFF61; }

// Letters, digits and hyphens (RFC 1035), and the underscore that service
// names use; outside ASCII, anything but controls, spaces and the
// characters that would end or quote an address.
bool MayStandInLabel(char32_t c) {
  if (c < 0x80) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  }
  return c >= 0xA1 && c != 0xAD && !(c >= 0x2000 && c <= 0x200F) && !(c >= 0x2028 && c <= 0x202F) &&
         c != 0x3000 && c != 0xFEFF && !(c >= 0xFFF9 && c <= 0xFFFF);
}

}  // namespace

bool HasNonAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

std::optional<std::u32string> DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || !IsScalarValue(c)) return std::nullopt;
    out.push_back(c);
    i += 1 + extra;
  }
  return out;
}

std::optional<std::string> PunycodeEncode(std::u32string_view input) {
  std::string out;
  std::uint32_t basic = 0;
  for (const char32_t c : input) {
    if (!IsScalarValue(c)) return std::nullopt;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++basic;
    }
  }
  if (basic > 0) out.push_back('-');
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t n = kInitialN;
  std::uint32_t delta = 0;
  std::uint32_t bias = kInitialBias;
  std::uint32_t handled = basic;
  while (handled < input.size()) {
    std::uint32_t m = kMax;
    for (const char32_t c : input) {
      if (c >= n && c < m) m = c;
    }
    if (m - n > (kMax - delta) / (handled + 1)) return std::nullopt;
    delta += (m - n) * (handled + 1);
    n = m;
    for (const char32_t c : input) {
      if (c < n && ++delta == 0) return std::nullopt;
      if (c != n) continue;
      std::uint32_t q = delta;
      for (std::uint32_t k = kBase;; k += kBase) {
        const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
        if (q < t) break;
        out.push_back(Digit(t + (q - t) % (kBase - t)));
        q = (q - t) / (kBase - t);
      }
      out.push_back(Digit(q));
      bias = Adapt(delta, handled + 1, handled == basic);
      delta = 0;
      ++handled;
    }
    ++delta;
    ++n;
  }
  return out;
}

std::optional<std::string> DomainToAscii(std::string_view utf8_domain) {
  const std::optional<std::u32string> decoded = DecodeUtf8(utf8_domain);
  if (!decoded || decoded->empty()) return std::nullopt;
  std::string out;
  std::u32string label;
  bool label_has_non_ascii = false;
  const auto finish_label = [&]() -> bool {
    if (label.empty() || label.front() == '-' || label.back() == '-') return false;
    std::string ascii;
    if (label_has_non_ascii) {
      for (char32_t& c : label) c = SmallLetter(c);
      const std::optional<std::string> encoded = PunycodeEncode(label);
      if (!encoded) return false;
      ascii = std::string(kAcePrefix) + *encoded;
    } else {
      for (const char32_t c : label) ascii.push_back(static_cast<char>(c));
    }
    if (ascii.size() > kMaxLabelOctets) return false;
    if (!out.empty()) out.push_back('.');
    out += ascii;
    label.clear();
    label_has_non_ascii = false;
    return true;
  };
  for (const char32_t c : *decoded) {
    if (IsLabelSeparator(c)) {
      if (!finish_label()) return std::nullopt;
      continue;
    }
    if (!MayStandInLabel(c)) return std::nullopt;
    label_has_non_ascii = label_has_non_ascii || c >= 0x80;
    label.push_back(c);
  }
  // A final full stop (the root) is kept out of the envelope form.
  const bool ends_with_root = IsLabelSeparator(decoded->back());
  if (!ends_with_root && !finish_label()) return std::nullopt;
  if (out.size() > kMaxNameOctets) return std::nullopt;
  return out;
}

}  // namespace vesk
