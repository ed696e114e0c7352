#pragma once

#include "engine/mailapi/api_session.h"
#include "engine/oauth2/token_client.h"

namespace vesk::mailapi {

// The tokens of an OAuth 2 client, for the mail API.
class OAuth2Tokens final : public TokenSource {
 public:
  explicit OAuth2Tokens(oauth2::TokenClient& client) : client_(client) {}
  bool CurrentToken(std::string& token, std::string& error) override {
    if (client_.CurrentToken(token)) return true;
    error = client_.last_error();
    return false;
  }
  bool RenewToken(std::string& error) override {
    if (client_.Renew()) return true;
    error = client_.last_error();
    return false;
  }

 private:
  oauth2::TokenClient& client_;
};

}  // namespace vesk::mailapi
