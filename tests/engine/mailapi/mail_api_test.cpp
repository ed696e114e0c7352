// The web-API mail client: first its request rules against scripted replies
// (throttling, token renewal, failures after mail may have been taken, the
// provider's error texts), then both providers against the local fake of
// their APIs (tools/servers/mail_api_fake.js, mounted in the local OAuth 2
// server; these run when VESK_OAUTH2_URL and VESK_OAUTH2_CA_FILE are set).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "engine/common/error_texts.h"
#include "engine/mailapi/mail_api.h"
#include "engine/mailapi/oauth2_tokens.h"
#include "engine/mailapi/set_apart.h"
#include "support/mime_tree.h"
#include "support/test_streams.h"

namespace vesk::mailapi {
namespace {

// Replies handed out in order; every request is kept.
struct ScriptedServer {
  struct Reply {
    long status;
    std::string status_line;
    std::string body;
    http::HeaderList headers;
    bool answered = true;
  };
  std::deque<Reply> replies;
  std::vector<http::Request> requests;
  std::vector<int> sleeps;

  void Attach(ApiSession& session) {
    session.send = [this](const http::Request& request, http::Response& response, std::string& error) {
      requests.push_back(request);
      if (replies.empty()) {
        error = "no reply scripted";
        return false;
      }
      Reply reply = replies.front();
      replies.pop_front();
      if (!reply.answered) {
        error = "the connection was reset";
        return false;
      }
      response = http::Response{reply.status, reply.status_line, reply.headers, reply.body};
      return true;
    };
    session.sleep = [this](int ms) { sleeps.push_back(ms); };
    session.now_seconds = [] { return std::int64_t{1'800'000'000}; };
  }
};

struct CountingTokens final : TokenSource {
  int renewals = 0;
  bool renewable = true;
  bool CurrentToken(std::string& token, std::string&) override {
    token = "token-" + std::to_string(renewals);
    return true;
  }
  bool RenewToken(std::string& error) override {
    ++renewals;
    if (!renewable) error = "invalid_grant: The refresh token was revoked";
    return renewable;
  }
};

std::string AuthorizationOf(const http::Request& request) {
  for (const auto& [name, value] : request.headers) {
    if (name == "Authorization") return value;
  }
  return {};
}

class RequestRules : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Attach(client.session());
    client.session().tokens = &tokens;
    client.session().timeout_ms = 10000;
  }
  ScriptedServer server;
  CountingTokens tokens;
  MailApiClient client;
  std::string mime = "From: a@example.test\r\nTo: b@example.test\r\nBcc: c@example.test\r\n\r\nHello\r\n";
};

// Graph's 429 and 503 wait for Retry-After (seconds, or an HTTP date), or
// back off when the provider gave none; a wait beyond the time-out fails at
// once with the provider's words, and the waits of one call share one budget.
TEST_F(RequestRules, ThrottledRequestsWaitWithinTheTimeOut) {
  const std::string slow_down = R"({"error":{"code":"TooManyRequests","message":"Slow down"}})";
  server.replies = {{429, "HTTP/1.1 429 Too Many Requests", slow_down, {{"retry-after", "2"}}},
                    {503, "HTTP/1.1 503 Service Unavailable", "", {{"retry-after", "Fri, 15 Jan 2027 08:00:03 GMT"}}},
                    {503, "HTTP/1.1 503 Service Unavailable", "", {}},
                    {202, "HTTP/1.1 202 Accepted", "", {}}};
  ASSERT_TRUE(client.Send(mime)) << client.last_error();
  // 1,800,000,000 is 2027-01-15 08:00:00 UTC.
  EXPECT_EQ(server.sleeps, (std::vector<int>{2000, 3000, 4000}));
  EXPECT_EQ(server.requests.size(), 4u);
  EXPECT_EQ(client.session().last_reply(), "HTTP/1.1 202 Accepted");

  server.requests.clear();
  server.sleeps.clear();
  server.replies = {{429, "HTTP/1.1 429 Too Many Requests", slow_down, {{"retry-after", "120"}}}};
  EXPECT_FALSE(client.Send(mime));
  EXPECT_TRUE(server.sleeps.empty());
  EXPECT_EQ(MessageIdOfText(client.last_error()), kMsgApiThrottledTooLong);
  EXPECT_NE(client.last_error().find("120 seconds"), std::string::npos) << client.last_error();
  EXPECT_NE(client.last_error().find("Slow down"), std::string::npos);

  server.replies.clear();
  for (int i = 0; i < 6; ++i) server.replies.push_back({429, "HTTP/1.1 429 Too Many Requests", "", {{"retry-after", "4"}}});
  EXPECT_FALSE(client.Send(mime));
  EXPECT_EQ(server.sleeps, (std::vector<int>{4000, 4000}));
}

// A refused token is renewed once and the request made once more with the
// new one; a second refusal, or a token that cannot be renewed, fails.
TEST_F(RequestRules, ARefusedTokenIsRenewedOnce) {
  const ScriptedServer::Reply refused{401, "HTTP/1.1 401 Unauthorized",
                                      R"({"error":{"code":"InvalidAuthenticationToken","message":"Lifetime validation failed"}})"};
  server.replies = {refused, {200, "HTTP/1.1 200 OK", R"({"value":[{"id":"A"}]})"}};
  std::vector<std::string> ids;
  ASSERT_TRUE(client.ListMessages("inbox", 0, ids)) << client.last_error();
  EXPECT_EQ(ids, std::vector<std::string>{"A"});
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(AuthorizationOf(server.requests[0]), "Bearer token-0");
  EXPECT_EQ(AuthorizationOf(server.requests[1]), "Bearer token-1");

  server.replies = {refused, refused};
  EXPECT_FALSE(client.ListMessages("inbox", 0, ids));
  EXPECT_EQ(tokens.renewals, 2);
  EXPECT_EQ(client.last_error(),
            "GET https://graph.microsoft.com/v1.0/me/mailFolders/inbox/messages?$select=id&$top=100"
            "&$orderby=receivedDateTime%20desc answered HTTP/1.1 401 Unauthorized: InvalidAuthenticationToken: "
            "Lifetime validation failed");

  tokens.renewable = false;
  server.replies = {refused};
  EXPECT_FALSE(client.ListMessages("inbox", 0, ids));
  EXPECT_EQ(MessageIdOfText(client.last_error()), kMsgApiTokenNotRenewed);
  EXPECT_NE(client.last_error().find("revoked"), std::string::npos);
}

// Mail that may have reached the provider is never handed over again: not
// after a gateway's 504, not after a connection that broke; the error says
// so. Other failures carry the provider's code and message, Google's form
// included.
TEST_F(RequestRules, MailIsNeverHandedOverTwice) {
  server.replies = {{504, "HTTP/1.1 504 Gateway Timeout", ""}};
  EXPECT_FALSE(client.Send(mime));
  EXPECT_EQ(server.requests.size(), 1u);
  EXPECT_NE(client.last_error().find(MessageText(kMsgApiMayBeDelivered)), std::string::npos) << client.last_error();

  ASSERT_TRUE(client.SetProvider("Gmail"));
  server.requests.clear();
  server.replies = {{0, "", "", {}, false}};
  EXPECT_FALSE(client.Send(mime));
  EXPECT_EQ(server.requests.size(), 1u);
  EXPECT_NE(client.last_error().find("the connection was reset"), std::string::npos);
  EXPECT_NE(client.last_error().find(MessageText(kMsgApiMayBeDelivered)), std::string::npos);

  server.replies = {{404, "HTTP/1.1 404 Not Found",
                     R"({"error":{"code":404,"message":"Requested entity was not found.","status":"NOT_FOUND"}})"}};
  std::string bytes;
  EXPECT_FALSE(client.Retrieve("18c0ffee", bytes));
  EXPECT_EQ(client.last_error(),
            "GET https://gmail.googleapis.com/gmail/v1/users/me/messages/18c0ffee?format=raw answered "
            "HTTP/1.1 404 Not Found: NOT_FOUND: Requested entity was not found.");
  EXPECT_EQ(client.session().last_reply(), "HTTP/1.1 404 Not Found NOT_FOUND: Requested entity was not found.");
}

// What each provider is sent: Graph takes the MIME as base64 text/plain with
// Bcc in it; Gmail takes base64url JSON; "me" refused for an application's
// token is explained; ids and folders are escaped in paths; a paging
// address on another server is not followed with the token.
TEST_F(RequestRules, RequestsAreThoseTheProvidersDocument) {
  server.replies = {{202, "HTTP/1.1 202 Accepted", ""}};
  ASSERT_TRUE(client.Send(mime));
  EXPECT_EQ(server.requests[0].url, "https://graph.microsoft.com/v1.0/me/sendMail");
  EXPECT_EQ(server.requests[0].body, Base64Run(mime));

  ASSERT_TRUE(client.SetMailbox("Someone@Example.test"));
  server.replies = {{201, "HTTP/1.1 201 Created", R"({"id":"NEW/id=="})"}};
  std::string moved;
  ASSERT_TRUE(client.MoveMessage("AAMk+id/==", "Archive", moved));
  EXPECT_EQ(moved, "NEW/id==");
  EXPECT_EQ(server.requests.back().url,
            "https://graph.microsoft.com/v1.0/users/Someone%40Example.test/messages/AAMk%2Bid%2F%3D%3D/move");
  EXPECT_EQ(server.requests.back().body, R"({"destinationId":"archive"})");

  ASSERT_TRUE(client.SetMailbox("me"));
  server.replies = {{400, "HTTP/1.1 400 Bad Request",
                     R"({"error":{"code":"BadRequest","message":"/me request is only valid with delegated authentication flow."}})"}};
  EXPECT_FALSE(client.MarkRead("A", true));
  EXPECT_EQ(MessageIdOfText(client.last_error()), kMsgApiMeRefused);

  server.replies = {{200, "HTTP/1.1 200 OK", R"({"value":[{"id":"A"}],"@odata.nextLink":"https://elsewhere.example/v1.0/x"})"}};
  std::vector<std::string> ids;
  EXPECT_FALSE(client.ListMessages("inbox", 0, ids));
  EXPECT_EQ(server.requests.back().url.find("elsewhere"), std::string::npos);

  ASSERT_TRUE(client.SetProvider("gmail"));
  server.replies = {{200, "HTTP/1.1 200 OK", R"({"id":"18c","labelIds":["SENT"]})"}};
  ASSERT_TRUE(client.Send(mime));
  EXPECT_EQ(server.requests.back().url, "https://gmail.googleapis.com/gmail/v1/users/me/messages/send");
  EXPECT_EQ(server.requests.back().body.find("{\"raw\":\"RnJvbTog"), 0u) << server.requests.back().body;
  EXPECT_EQ(server.requests.back().body.find_first_of("+/="), std::string::npos);

  EXPECT_FALSE(client.SetProvider("exchange"));
  EXPECT_FALSE(client.SetBaseAddress("https://graph.example/v1.0"));
  EXPECT_FALSE(client.SetBaseAddress("http://graph.example"));
  EXPECT_TRUE(client.SetBaseAddress("https://127.0.0.1:5601/"));
  EXPECT_EQ(client.base_address(), "https://127.0.0.1:5601");
}

// The trace holds each request and its status, and neither the token nor
// the message in any form; a message over the provider's maximum is refused
// before anything is sent.
TEST_F(RequestRules, TraceShowsRequestsOnlyAndLimitsComeFirst) {
  const std::string path = ::testing::TempDir() + "vesk_api_trace.txt";
  std::remove(path.c_str());
  client.session().trace.set_path(path);
  server.replies = {{202, "HTTP/1.1 202 Accepted", ""}};
  ASSERT_TRUE(client.Send(mime));
  const std::string trace = testing::ReadWholeFile(path);
  EXPECT_NE(trace.find("C: POST https://graph.microsoft.com/v1.0/me/sendMail"), std::string::npos) << trace;
  EXPECT_NE(trace.find("S: HTTP/1.1 202 Accepted"), std::string::npos) << trace;
  for (const std::string secret : {std::string("token-0"), Base64Run(mime).substr(0, 12), std::string("Hello")}) {
    EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
  }

  ASSERT_TRUE(client.SetProvider("gmail"));
  server.requests.clear();
  std::string huge(36 * 1024 * 1024, 'x');
  EXPECT_FALSE(client.Send(huge));
  EXPECT_EQ(MessageIdOfText(client.last_error()), kMsgApiMessageTooLarge);
  EXPECT_TRUE(server.requests.empty());
  EXPECT_EQ(huge.size(), 36u * 1024 * 1024) << "the caller's message is given back";
}

TEST(ApiAddresses, TokensInQueriesAreNotShown) {
  EXPECT_EQ(ApiSession::ShownAddress("https://up.example/s?authtoken=eyJ&x=1&pageToken=abc&$skiptoken=9"),
            "https://up.example/s?authtoken=...&x=1&pageToken=...&$skiptoken=...");
  EXPECT_EQ(ApiSession::ShownAddress("https://graph.example/v1.0/me/sendMail"), "https://graph.example/v1.0/me/sendMail");
  EXPECT_EQ(ApiSession::RetryAfterSeconds("30", 0), 30);
  EXPECT_EQ(ApiSession::RetryAfterSeconds("soon", 0), -1);
  EXPECT_EQ(ApiSession::RetryAfterSeconds("Thu, 01 Jan 1970 00:01:00 GMT", 0), 60);
}

std::string Attachment(const std::string& name, size_t size, char fill) {
  return "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
         testing::EncodedAs(TransferEncoding::kBase64, std::string(size, fill)) + "\r\n";
}

// Attachments over the single-upload size always go apart, then the
// largest of the others until the rest fits; a message that cannot be made
// to fit is left as it was.
TEST(SetApart, TakesTheLargestAttachmentsUntilTheRestFits) {
  const std::string head =
      "From: a@example.test\r\nBcc: c@example.test\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nBody\r\n";
  std::string mime = head + Attachment("big.bin", 5000, 'x') + Attachment("mid.bin", 1500, 'y') +
                     Attachment("small.bin", 100, 'z') + "--b--\r\n";
  std::vector<SetApartAttachment> apart;
  ASSERT_TRUE(SetAttachmentsApart(mime, 4000, 1600, apart));
  ASSERT_EQ(apart.size(), 2u);
  EXPECT_EQ(apart[0].name, "big.bin");
  EXPECT_EQ(apart[0].bytes, std::string(5000, 'x'));
  EXPECT_EQ(apart[1].name, "mid.bin");
  EXPECT_EQ(apart[1].content_type, "application/octet-stream");
  EXPECT_NE(mime.find("small.bin"), std::string::npos);
  EXPECT_EQ(mime.find("mid.bin"), std::string::npos);
  EXPECT_NE(mime.find("Bcc: c@example.test"), std::string::npos);
  EXPECT_NE(mime.find("Body"), std::string::npos);

  std::string lone = "From: a@example.test\r\n\r\n" + std::string(3000, 'q') + "\r\n";
  const std::string before = lone;
  EXPECT_FALSE(SetAttachmentsApart(lone, 4000, 1600, apart));
  EXPECT_EQ(lone, before);
}

// Against the local fake of both APIs.
class FakeProviders : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* base = std::getenv("VESK_OAUTH2_URL");
    const char* ca = std::getenv("VESK_OAUTH2_CA_FILE");
    if (!base || !ca) GTEST_SKIP() << "VESK_OAUTH2_URL and VESK_OAUTH2_CA_FILE name the local OAuth 2 server";
    base_ = base;
    oauth_.settings().token_endpoint = base_ + "/token";
    oauth_.settings().client_id = "vesk-service";
    oauth_.settings().client_secret = "vesk-service-secret";
    oauth_.settings().scope = "mail";
    oauth_.settings().extra_ca_file = ca;
    client_.session().extra_ca_file = ca;
    client_.session().tokens = &tokens_;
    client_.session().timeout_ms = 15000;
    ASSERT_TRUE(client_.SetProvider(GetParam()));
    ASSERT_TRUE(client_.SetBaseAddress(base_));
    Control("POST", "/test/api/reset");
  }
  // A request to the fake's own test endpoints; gives the body.
  std::string Control(const char* method, const std::string& path) {
    http::Request request;
    request.method = method;
    request.url = base_ + path;
    request.extra_ca_file = client_.session().extra_ca_file;
    http::Response response;
    std::string error;
    EXPECT_TRUE(http::Send(request, response, error)) << error;
    return response.body;
  }
  static std::string Unique(const std::string& subject) {
    return "From: vesk@example.test\r\nTo: vesk@example.test\r\nBcc: hidden@example.test\r\nSubject: " + subject +
           "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\nText of " + subject + "\r\n";
  }

  std::string base_;
  oauth2::TokenClient oauth_;
  OAuth2Tokens tokens_{oauth_};
  MailApiClient client_;
};

// Send, list (newest first), retrieve byte for byte, mark, move, search
// without deleted mail, delete for good; an application's token works on the
// user's mailbox by address. (Paging, throttling, renewal and the large
// roads are tried through the DLL, tests/scripts/servers/mail_api.vbs.)
TEST_P(FakeProviders, SendListRetrieveMoveAndDelete) {
  ASSERT_TRUE(client_.SetMailbox("vesk@example.test"));
  std::string first = Unique("first"), second = Unique("second");
  ASSERT_TRUE(client_.Send(first)) << client_.last_error();
  ASSERT_TRUE(client_.Send(second)) << client_.last_error();
  std::vector<std::string> ids;
  ASSERT_TRUE(client_.ListMessages("inbox", 0, ids)) << client_.last_error();
  ASSERT_EQ(ids.size(), 2u);
  std::string newest;
  ASSERT_TRUE(client_.Retrieve(ids[0], newest)) << client_.last_error();
  EXPECT_NE(newest.find("Subject: second\r\n"), std::string::npos) << newest;
  EXPECT_EQ(newest.find("hidden@example.test"), std::string::npos) << "a recipient's copy shows no Bcc";
  std::int64_t size = 0;
  ASSERT_TRUE(client_.MessageSize(ids[1], size));
  std::string oldest;
  ASSERT_TRUE(client_.Retrieve(ids[1], oldest));
  EXPECT_EQ(static_cast<size_t>(size), oldest.size());

  std::vector<std::string> sent;
  ASSERT_TRUE(client_.ListMessages("sentitems", 1, sent)) << client_.last_error();
  ASSERT_EQ(sent.size(), 1u);
  std::string sent_copy;
  ASSERT_TRUE(client_.Retrieve(sent[0], sent_copy));
  EXPECT_EQ(sent_copy, second) << "the sender's copy is the bytes sent";

  ASSERT_TRUE(client_.MarkRead(ids[0], true)) << client_.last_error();
  std::string archived;
  ASSERT_TRUE(client_.MoveMessage(ids[0], "archive", archived)) << client_.last_error();
  ASSERT_TRUE(client_.ListMessages("inbox", 0, ids));
  EXPECT_EQ(ids.size(), 1u);
  std::vector<std::string> in_archive;
  ASSERT_TRUE(client_.ListMessages("archive", 0, in_archive)) << client_.last_error();
  EXPECT_NE(std::find(in_archive.begin(), in_archive.end(), archived), in_archive.end());
  std::vector<std::string> found;
  ASSERT_TRUE(client_.Search("second", 0, found)) << client_.last_error();
  EXPECT_FALSE(found.empty());
  std::string deleted;
  ASSERT_TRUE(client_.DeleteMessage(archived, false, deleted)) << client_.last_error();
  ASSERT_TRUE(client_.Search("Text of second", 0, found)) << client_.last_error();
  EXPECT_EQ(std::find(found.begin(), found.end(), deleted), found.end()) << "deleted mail is not searched";
  std::string gone = "?";
  ASSERT_TRUE(client_.DeleteMessage(deleted, true, gone)) << client_.last_error();
  EXPECT_EQ(gone, "");
  EXPECT_FALSE(client_.Retrieve(deleted, oldest));
  ASSERT_TRUE(client_.DeleteMessage(ids[0], true, gone)) << client_.last_error();
  EXPECT_FALSE(client_.Retrieve(ids[0], oldest));
}

INSTANTIATE_TEST_SUITE_P(BothProviders, FakeProviders, ::testing::Values("graph", "gmail"));

}  // namespace
}  // namespace vesk::mailapi
