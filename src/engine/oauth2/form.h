#pragma once

// The text forms OAuth 2 speaks besides JSON: form bodies and query strings
// (application/x-www-form-urlencoded, RFC 6749 appendix B) and base64url
// without padding (RFC 7636 appendix A).

#include <map>
#include <string>
#include <string_view>

namespace vesk::oauth2 {

// Every byte outside the unreserved set of RFC 3986 as %XX.
std::string PercentEncode(std::string_view text);

// Decodes %XX and '+' (a space); a malformed escape stays as it stands.
std::string PercentDecode(std::string_view text);

// "a=1&b=2" (the part after '?' of a request target) as names and values;
// of a name given twice the first counts.
std::map<std::string, std::string> ParseQuery(std::string_view query);

// name=value pairs joined with '&', each side percent-encoded. Empty values
// are left out: OAuth 2 treats a parameter sent without a value as omitted.
class FormBody {
 public:
  FormBody& Add(std::string_view name, std::string_view value);
  const std::string& text() const { return text_; }
  ~FormBody();

 private:
  std::string text_;
};

std::string Base64Url(std::string_view bytes);

}  // namespace vesk::oauth2
