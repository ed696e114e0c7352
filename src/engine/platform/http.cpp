#include "engine/platform/http.h"

#include "engine/common/ascii.h"

namespace vesk::http {

std::string Response::Header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (field == name) return value;
  }
  return {};
}

bool PostForm(Request& request, Response& response, std::string& error) {
  request.method = "POST";
  request.headers.insert(request.headers.begin(), {{"Content-Type", "application/x-www-form-urlencoded"},
                                                   {"Accept", "application/json"}});
  return Send(request, response, error);
}

void AddHeaderLine(std::string_view line, HeaderList& headers) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line.compare(0, 5, "HTTP/") == 0) return;
  std::string name = AsciiLowered(line.substr(0, colon));
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  headers.emplace_back(std::move(name), std::string(value));
}

}  // namespace vesk::http
