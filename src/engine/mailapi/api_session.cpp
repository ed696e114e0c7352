#include "engine/mailapi/api_session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/mail_dates.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/sign_in.h"

namespace vesk::mailapi {
namespace {

using Json = nlohmann::json;

// A throttled request without Retry-After waits this long, doubled each
// time, within the same budget.
constexpr int kFirstBackOffMs = 1000;

std::int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The provider's error code and message. Graph: {"error":{"code":"...",
// "message":"..."}}; Google: {"error":{"code":404,"message":"...",
// "status":"NOT_FOUND"}}; an OAuth 2 style body: {"error":"...",
// "error_description":"..."}.
void ReadProviderError(const std::string& body, std::string& code, std::string& message) {
  code.clear();
  message.clear();
  const Json reply = Json::parse(body, nullptr, false);
  if (!reply.is_object()) return;
  const auto error = reply.find("error");
  if (error == reply.end()) return;
  auto text = [](const Json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
  };
  if (error->is_string()) {
    code = error->get<std::string>();
    message = text(reply, "error_description");
    return;
  }
  if (!error->is_object()) return;
  code = text(*error, "code");
  if (code.empty()) code = text(*error, "status");
  message = text(*error, "message");
}

}  // namespace

ApiSession::ApiSession()
    : send(&http::Send), sleep(&sockets::SleepMilliseconds), now_seconds(&SystemSeconds) {}

bool ApiSession::Fail(std::string text) {
  last_error_ = std::move(text);
  return false;
}

std::string ApiSession::ShownAddress(const std::string& url) {
  const size_t query = url.find('?');
  if (query == std::string::npos) return url;
  std::string shown = url.substr(0, query + 1);
  size_t at = query + 1;
  while (at <= url.size()) {
    size_t end = url.find('&', at);
    if (end == std::string::npos) end = url.size();
    const std::string_view pair(url.data() + at, end - at);
    const size_t equals = pair.find('=');
    const std::string name = AsciiLowered(pair.substr(0, equals));
    if (at > query + 1) shown += '&';
    if (equals != std::string_view::npos && name.find("token") != std::string::npos) {
      shown.append(pair.substr(0, equals + 1)).append("...");
    } else {
      shown.append(pair);
    }
    at = end + 1;
  }
  return shown;
}

std::int64_t ApiSession::RetryAfterSeconds(const std::string& value, std::int64_t now) {
  if (value.empty()) return -1;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return value.size() < 10 ? std::stoll(value) : -1;
  }
  CivilTime when;
  if (!ParseMailDate(value, when)) return -1;
  return std::max<std::int64_t>(SecondsSinceEpoch(when) - now, 0);
}

void ApiSession::TakeReply(const http::Response& response) {
  last_status_ = response.status;
  ReadProviderError(response.body, provider_code_, provider_message_);
  status_line_ = response.status_line.empty() ? "HTTP " + std::to_string(response.status) : response.status_line;
  last_reply_ = status_line_;
  if (response.status >= 300 && (!provider_code_.empty() || !provider_message_.empty())) {
    last_reply_ += " " + provider_code_;
    if (!provider_message_.empty()) last_reply_ += (provider_code_.empty() ? "" : ": ") + provider_message_;
  }
}

bool ApiSession::Perform(ApiCall& call, http::Response& response) {
  const std::string shown = ShownAddress(call.url);
  const char* method = call.method.c_str();
  bool renewed = false;
  int back_off_ms = kFirstBackOffMs;
  for (;;) {
    http::Request request;
    request.method = call.method;
    request.url = call.url;
    request.timeout_ms = timeout_ms > 0 ? timeout_ms : 60000;
    request.extra_ca_file = extra_ca_file;
    request.headers = call.extra_headers;
    if (!call.accept.empty()) request.headers.emplace_back("Accept", call.accept);
    if (!call.content_type.empty()) request.headers.emplace_back("Content-Type", call.content_type);
    if (call.authorised) {
      if (!tokens) return Fail(MessageText(kMsgApiNoOAuth2));
      std::string token, error;
      if (!tokens->CurrentToken(token, error)) return Fail(error);
      request.headers.emplace_back("Authorization", "Bearer " + token);
      WipeText(token);
    }
    if (meter) {
      request.progress = [this](std::uint64_t moved, std::uint64_t reply_size) {
        if (reply_size && meter->total() == 0) meter->set_total(reply_size);
        return meter->Add(moved);
      };
    }
    // The body is lent to the request, not copied.
    request.body.swap(call.body);
    trace.Sent(call.method + " " + shown);
    if (!request.body.empty()) trace.SentBody(request.body.size());
    std::string transport_error;
    const bool answered = send(request, response, transport_error);
    request.body.swap(call.body);
    for (auto& header : request.headers) WipeText(header.second);
    if (!answered && meter && meter->stopped()) {
      trace.Note(transport_error);
      return Fail(MessageText(kMsgCancelled));
    }
    if (!answered) {
      trace.Note(transport_error);
      std::string text = FormatMessageText(kMsgApiUnreachable, method, shown.c_str(), transport_error.c_str());
      if (call.hands_over_mail) text += ". " + MessageText(kMsgApiMayBeDelivered);
      return Fail(std::move(text));
    }
    TakeReply(response);
    trace.Received(last_reply_);
    if (response.status >= 200 && response.status < 300) return true;

    if (response.status == 401 && call.authorised && !renewed) {
      renewed = true;
      std::string error;
      if (!tokens->RenewToken(error)) return Fail(FormatMessageText(kMsgApiTokenNotRenewed, last_reply_.c_str(), error.c_str()));
      trace.Note("the access token was renewed; the request goes again");
      continue;
    }
    if (response.status == 429 || response.status == 503) {
      const std::int64_t asked = RetryAfterSeconds(response.Header("retry-after"), now_seconds());
      const std::int64_t wait_ms = asked >= 0 ? asked * 1000 : back_off_ms;
      const int budget = timeout_ms > 0 ? timeout_ms : 60000;
      if (wait_ms + waited_ms_ > budget) {
        return Fail(FormatMessageText(kMsgApiThrottledTooLong, method, shown.c_str(), status_line_.c_str(),
                                      static_cast<int>((wait_ms + 999) / 1000), budget,
                                      provider_message_.empty() ? provider_code_.c_str() : provider_message_.c_str()));
      }
      trace.Note("throttled: waiting " + std::to_string(wait_ms) + " ms");
      sleep(static_cast<int>(wait_ms));
      waited_ms_ += static_cast<int>(wait_ms);
      back_off_ms = std::min(back_off_ms * 2, 60000);
      continue;
    }
    std::string text;
    if (provider_code_.empty() && provider_message_.empty()) {
      text = FormatMessageText(kMsgApiStatus, method, shown.c_str(), status_line_.c_str());
    } else {
      const std::string said = provider_code_.empty()      ? provider_message_
                               : provider_message_.empty() ? provider_code_
                                                           : provider_code_ + ": " + provider_message_;
      text = FormatMessageText(kMsgApiError, method, shown.c_str(), status_line_.c_str(), said.c_str());
    }
    if (call.hands_over_mail && response.status >= 500) text += ". " + MessageText(kMsgApiMayBeDelivered);
    return Fail(std::move(text));
  }
}

}  // namespace vesk::mailapi
