// The Gmail API's message endpoints (v1): send as raw base64url or, when
// large, as a media upload of message/rfc822; list and search with labels
// and queries; raw retrieval; labels for moving and marking; trash and
// delete.

#include <algorithm>

#include "engine/common/ascii.h"
#include "engine/mailapi/mail_api.h"
#include "engine/mailapi/provider_support.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"

namespace vesk::mailapi {
namespace {

// A JSON request up to this size; larger messages go as a media upload.
constexpr size_t kJsonLimit = 5 * 1024 * 1024;
constexpr size_t kLargestMessage = 35 * 1024 * 1024;
constexpr int kPageSize = 100;

// base64url as Google writes it, padded or not.
std::string DecodeBase64Url(std::string text) {
  for (char& c : text) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  ByteBuffer bytes;
  DecodeBase64(text, bytes);
  return std::string(bytes.view());
}

std::string EncodeBase64Url(const std::string& bytes) {
  std::string text = Base64Run(bytes);
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

class GmailOperations final : public MailOperations {
 public:
  GmailOperations(ApiSession& session, const Account& account) : session_(session), account_(account) {}

  bool Send(std::string& mime) override;
  bool List(const std::string& folder, int max_count, std::vector<std::string>& ids) override;
  bool Search(const std::string& query, int max_count, std::vector<std::string>& ids) override;
  bool Retrieve(const std::string& id, std::string& mime) override;
  bool Move(const std::string& id, const std::string& folder, std::string& new_id) override;
  bool Delete(const std::string& id, bool permanently, std::string& new_id) override;
  bool MarkRead(const std::string& id, bool read) override;

 private:
  std::string UserPath() const { return "/users/" + Segment(account_.mailbox); }
  std::string Root() const { return account_.base_address + "/gmail/v1" + UserPath(); }
  std::string MessageAddress(const std::string& id) const { return Root() + "/messages/" + Segment(id); }
  bool CallForJson(ApiCall& call, Json& reply) {
    http::Response response;
    return session_.Perform(call, response) && ReadReply(session_, call, response, reply);
  }
  // Pages through messages.list with the same query, adding pageToken.
  bool Collect(const std::string& query, int max_count, std::vector<std::string>& ids);
  bool Modify(const std::string& id, std::vector<std::string> add, std::vector<std::string> remove);

  ApiSession& session_;
  const Account& account_;
};

bool GmailOperations::Send(std::string& mime) {
  if (mime.size() > kLargestMessage) {
    return session_.Fail(FormatMessageText(kMsgApiMessageTooLarge, std::to_string(mime.size()).c_str(), "Gmail",
                                           std::to_string(kLargestMessage).c_str()));
  }
  ApiCall call;
  call.method = "POST";
  call.hands_over_mail = true;
  std::string raw = EncodeBase64Url(mime);
  if (raw.size() + 16 <= kJsonLimit) {
    call.url = Root() + "/messages/send";
    call.content_type = "application/json";
    call.body = "{\"raw\":\"" + raw + "\"}";
  } else {
    call.url = account_.base_address + "/upload/gmail/v1" + UserPath() + "/messages/send?uploadType=media";
    call.content_type = "message/rfc822";
    call.body.swap(mime);
  }
  raw.clear();
  http::Response response;
  const bool sent = session_.Perform(call, response);
  if (call.content_type == "message/rfc822") mime.swap(call.body);
  return sent;
}

bool GmailOperations::Collect(const std::string& query, int max_count, std::vector<std::string>& ids) {
  const std::string first = Root() + "/messages?" + query + "&maxResults=" +
                            std::to_string(max_count > 0 ? std::min(max_count, kPageSize) : kPageSize);
  std::string page_token;
  do {
    ApiCall call;
    call.url = page_token.empty() ? first : first + "&pageToken=" + Segment(page_token);
    Json reply;
    if (!CallForJson(call, reply)) return false;
    const auto messages = reply.find("messages");
    if (messages != reply.end() && messages->is_array()) {
      for (const Json& item : *messages) {
        const std::string id = item.is_object() ? TextMember(item, "id") : std::string();
        if (id.empty()) continue;
        ids.push_back(id);
        if (max_count > 0 && ids.size() >= static_cast<size_t>(max_count)) return true;
      }
    }
    page_token = TextMember(reply, "nextPageToken");
  } while (!page_token.empty());
  return true;
}

bool GmailOperations::List(const std::string& folder, int max_count, std::vector<std::string>& ids) {
  // The well-known folders are system labels; archived mail is mail out of
  // the inbox (spam and trash are left out of a query unless asked for).
  const std::string name = AsciiLowered(folder);
  std::string query;
  if (name == "inbox") query = "labelIds=INBOX";
  else if (name == "sentitems") query = "labelIds=SENT";
  else if (name == "drafts") query = "labelIds=DRAFT";
  else if (name == "deleteditems") query = "labelIds=TRASH&includeSpamTrash=true";
  else if (name == "junkemail") query = "labelIds=SPAM&includeSpamTrash=true";
  else if (name == "archive") query = "q=" + Segment("-in:inbox");
  else query = "labelIds=" + Segment(folder);
  return Collect(query, max_count, ids);
}

bool GmailOperations::Search(const std::string& query, int max_count, std::vector<std::string>& ids) {
  return Collect("q=" + Segment(query), max_count, ids);
}

bool GmailOperations::Retrieve(const std::string& id, std::string& mime) {
  ApiCall call;
  call.url = MessageAddress(id) + "?format=raw";
  Json reply;
  if (!CallForJson(call, reply)) return false;
  const auto raw = reply.find("raw");
  if (raw == reply.end() || !raw->is_string()) {
    return session_.Fail(FormatMessageText(kMsgApiUnreadable, "GET", ApiSession::ShownAddress(call.url).c_str(),
                                           "no raw message"));
  }
  mime = DecodeBase64Url(raw->get<std::string>());
  return true;
}

bool GmailOperations::Modify(const std::string& id, std::vector<std::string> add, std::vector<std::string> remove) {
  ApiCall call;
  call.method = "POST";
  call.url = MessageAddress(id) + "/modify";
  call.content_type = "application/json";
  call.body = Json{{"addLabelIds", add}, {"removeLabelIds", remove}}.dump(-1, ' ', false,
                                                                           Json::error_handler_t::replace);
  Json reply;
  return CallForJson(call, reply);
}

bool GmailOperations::Move(const std::string& id, const std::string& folder, std::string& new_id) {
  // Gmail keeps a message's id whatever its labels.
  new_id = id;
  const std::string name = AsciiLowered(folder);
  if (name == "deleteditems") return Delete(id, false, new_id);
  if (name == "inbox") return Modify(id, {"INBOX"}, {});
  if (name == "archive") return Modify(id, {}, {"INBOX"});
  if (name == "junkemail") return Modify(id, {"SPAM"}, {"INBOX"});
  if (name == "sentitems") return Modify(id, {"SENT"}, {"INBOX"});
  if (name == "drafts") return Modify(id, {"DRAFT"}, {"INBOX"});
  return Modify(id, {folder}, {"INBOX"});
}

bool GmailOperations::Delete(const std::string& id, bool permanently, std::string& new_id) {
  if (!permanently) new_id = id;
  ApiCall call;
  call.method = permanently ? "DELETE" : "POST";
  call.url = MessageAddress(id) + (permanently ? "" : "/trash");
  http::Response response;
  return session_.Perform(call, response);
}

bool GmailOperations::MarkRead(const std::string& id, bool read) {
  if (read) return Modify(id, {}, {"UNREAD"});
  return Modify(id, {"UNREAD"}, {});
}

}  // namespace

std::unique_ptr<MailOperations> MakeGmailOperations(ApiSession& session, const Account& account) {
  return std::make_unique<GmailOperations>(session, account);
}

}  // namespace vesk::mailapi
