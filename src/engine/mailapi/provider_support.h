#pragma once

// What the provider files share: reading a JSON reply, and the pieces of a
// request address.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "engine/common/error_texts.h"
#include "engine/mailapi/api_session.h"
#include "engine/oauth2/form.h"

namespace vesk::mailapi {

using Json = nlohmann::json;

// The reply's body as a JSON object; false with an error kept when it is
// not one.
inline bool ReadReply(ApiSession& session, const ApiCall& call, const http::Response& response, Json& reply) {
  reply = Json::parse(response.body, nullptr, false);
  if (reply.is_object()) return true;
  return session.Fail(FormatMessageText(kMsgApiUnreadable, call.method.c_str(),
                                        ApiSession::ShownAddress(call.url).c_str(), "not a JSON object"));
}

inline std::string TextMember(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// One segment of a path: everything but the unreserved characters escaped.
inline std::string Segment(std::string_view text) { return oauth2::PercentEncode(text); }

// True when `url` is on the same scheme, host and port as `base`: a paging
// address elsewhere would be handed the token.
inline bool SameOrigin(const std::string& url, const std::string& base) {
  return url.size() > base.size() && url.compare(0, base.size(), base) == 0 &&
         (url[base.size()] == '/' || url[base.size()] == '?');
}

}  // namespace vesk::mailapi
