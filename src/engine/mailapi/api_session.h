#pragma once

// The request core of the providers' mail web APIs: every request carries a
// bearer token asked for just before it; a throttled one (429, 503) is
// repeated after the provider's Retry-After while the time-out allows; a
// refused token (401) is renewed once and the request repeated once; any
// other failure keeps the status and the provider's own error code and
// message. A request that may have delivered mail is never repeated once the
// provider could have taken it.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/common/progress.h"
#include "engine/net/protocol_trace.h"
#include "engine/platform/http.h"

namespace vesk::mailapi {

// Where the access tokens come from (the OAuth 2 client).
class TokenSource {
 public:
  virtual ~TokenSource() = default;
  // A token to send now; false with the reason in `error`.
  virtual bool CurrentToken(std::string& token, std::string& error) = 0;
  // The provider refused the last token: get another one.
  virtual bool RenewToken(std::string& error) = 0;
};

struct ApiCall {
  std::string method = "GET";
  // Absolute https address.
  std::string url;
  std::string content_type;
  // Empty for a reply that is not JSON (a message's MIME).
  std::string accept = "application/json";
  std::string body;
  http::HeaderList extra_headers;
  // False for an address that carries its own authorisation (an upload
  // session's): no bearer token goes to it.
  bool authorised = true;
  // The request hands mail over: once it may have reached the provider it
  // is not repeated, and a failure says that it may have been delivered.
  bool hands_over_mail = false;
};

class ApiSession {
 public:
  ApiSession();

  // Milliseconds each request may take, and the most a call waits in all
  // for a throttled provider.
  int timeout_ms = 60000;
  // PEM file of extra trusted certificate authorities (native side only).
  std::string extra_ca_file;
  TokenSource* tokens = nullptr;
  ProtocolTrace trace;
  // While set, the body bytes of every request and reply are counted on it;
  // a request its listener stops fails as cancelled.
  TransferMeter* meter = nullptr;

  // What sends a request (the HTTPS seam unless replaced) and how the
  // session waits.
  std::function<bool(const http::Request&, http::Response&, std::string&)> send;
  std::function<void(int milliseconds)> sleep;
  std::function<std::int64_t()> now_seconds;

  // Starts the waiting budget of one call of the caller's.
  void BeginOperation() { waited_ms_ = 0; }

  // Performs the call. True for a 2xx status, with the reply in `response`;
  // false with the error text kept, and the reply (when one came) too. The
  // call's body is lent to the request and is back in place afterwards.
  bool Perform(ApiCall& call, http::Response& response);

  // "HTTP/1.1 404 Not Found" and, when the provider said so, its error code
  // and message; empty before the first reply.
  const std::string& last_reply() const { return last_reply_; }
  long last_status() const { return last_status_; }
  const std::string& provider_code() const { return provider_code_; }
  const std::string& provider_message() const { return provider_message_; }
  const std::string& last_error() const { return last_error_; }
  bool Fail(std::string text);

  // The address as a trace or an error text shows it: the value of every
  // query parameter whose name holds "token" is left out.
  static std::string ShownAddress(const std::string& url);
  // Seconds a Retry-After value asks for (a number of seconds or an HTTP
  // date); -1 when there is none or it cannot be read.
  static std::int64_t RetryAfterSeconds(const std::string& value, std::int64_t now);

 private:
  void TakeReply(const http::Response& response);

  int waited_ms_ = 0;
  long last_status_ = 0;
  std::string status_line_;
  std::string last_reply_;
  std::string provider_code_;
  std::string provider_message_;
  std::string last_error_;
};

}  // namespace vesk::mailapi
