#pragma once

// The HTTPS seam: one request and its whole reply, with a side over libcurl
// (http_posix.cpp) and a side over the system's HTTP client, WinHTTP
// (http_win.cpp), which brings the user's proxy settings and certificate
// store with it. Only https addresses are asked for; the certificate must be
// trusted and name the host. Redirects are not followed.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::http {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method = "POST";
  std::string url;
  // Header fields beyond those the client adds itself (Host, the length).
  HeaderList headers;
  std::string body;
  // Whole request, connecting included, in milliseconds.
  int timeout_ms = 30000;
  // A PEM file of certificate authorities trusted beside the system's store
  // (libcurl side only; empty: none). Tests use it for their private CA.
  std::string extra_ca_file;
  // Told of body bytes as they go out or come in: `moved` new bytes, and
  // the size of the reply's body once known (0 before). False stops the
  // request, which then fails with kStopped as its error.
  std::function<bool(std::uint64_t moved, std::uint64_t reply_size)> progress;
};

// The error text of a request its progress function stopped.
inline constexpr const char* kStopped = "stopped by the caller";

struct Response {
  long status = 0;
  // "HTTP/1.1 429 Too Many Requests", as the server gave it (a reason
  // phrase the server left out stays out).
  std::string status_line;
  // Names in lower case, values without surrounding white space.
  HeaderList headers;
  std::string body;

  // The first field of that name (given in lower case), or empty.
  std::string Header(std::string_view name) const;
};

// Sends the request and receives the whole reply. False when no HTTP reply
// came (no connection, TLS refused, time-out); `error` then says why in the
// platform's words. Any HTTP status counts as a reply.
bool Send(const Request& request, Response& response, std::string& error);

// A form POST (application/x-www-form-urlencoded `request.body`) that
// accepts JSON, as OAuth 2 endpoints take it; the request gains those
// header fields.
bool PostForm(Request& request, Response& response, std::string& error);

// Takes "Name: value" lines (a status line or anything else is skipped)
// into `headers`.
void AddHeaderLine(std::string_view line, HeaderList& headers);

}  // namespace vesk::http
