#include "engine/oauth2/form.h"

#include "engine/protocols/sign_in.h"

namespace vesk::oauth2 {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PercentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseQuery(std::string_view query) {
  std::map<std::string, std::string> pairs;
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    const size_t equals = pair.find('=');
    const std::string name = PercentDecode(pair.substr(0, equals));
    const std::string value = equals == std::string_view::npos ? std::string() : PercentDecode(pair.substr(equals + 1));
    if (!name.empty()) pairs.emplace(name, value);
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return pairs;
}

FormBody& FormBody::Add(std::string_view name, std::string_view value) {
  if (value.empty()) return *this;
  if (!text_.empty()) text_ += '&';
  text_ += PercentEncode(name);
  text_ += '=';
  text_ += PercentEncode(value);
  return *this;
}

// A body carries secrets (client secret, codes, refresh tokens).
FormBody::~FormBody() { WipeText(text_); }

std::string Base64Url(std::string_view bytes) {
  std::string text = Base64Text(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

}  // namespace vesk::oauth2
