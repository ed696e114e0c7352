#pragma once

// The HTTPS seam: one form POST to an OAuth 2 endpoint, with a side over
// libcurl (http_posix.cpp) and a side over the system's HTTP client, WinHTTP
// (http_win.cpp), which brings the user's proxy settings and certificate
// store with it. Only https addresses are asked for; the certificate must be
// trusted and name the host.

#include <string>

namespace vesk::http {

struct Request {
  std::string url;
  // application/x-www-form-urlencoded
  std::string form_body;
  // Whole request, connecting included, in milliseconds.
  int timeout_ms = 30000;
  // A PEM file of certificate authorities trusted beside the system's store
  // (libcurl side only; empty: none). Tests use it for their private CA.
  std::string extra_ca_file;
};

struct Response {
  long status = 0;
  std::string body;
};

// Sends the request and receives the whole reply. False when no HTTP reply
// came (no connection, TLS refused, time-out); `error` then says why in the
// platform's words. Any HTTP status counts as a reply.
bool PostForm(const Request& request, Response& response, std::string& error);

}  // namespace vesk::http
