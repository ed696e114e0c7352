// Microsoft Graph's mail endpoints (v1.0): sendMail and messages in MIME,
// upload sessions for large attachments, mail folders, $value, move,
// permanentDelete.

#include <algorithm>
#include <set>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/mailapi/mail_api.h"
#include "engine/mailapi/provider_support.h"
#include "engine/mailapi/set_apart.h"
#include "engine/mime/transfer_codec.h"

namespace vesk::mailapi {
namespace {

// One request's body at most (Graph's documented limit).
constexpr size_t kRequestLimit = 4 * 1024 * 1024;
// Attachments above this go through an upload session.
constexpr size_t kUploadAbove = 3 * 1024 * 1024;
constexpr size_t kLargestAttachment = 150 * 1024 * 1024;
// Upload pieces are multiples of 320 KiB, as the documentation asks, and
// below the 4 MB a request may carry.
constexpr size_t kUploadChunk = 12 * 320 * 1024;
constexpr int kPageSize = 100;

const std::set<std::string> kWellKnownFolders = {"inbox", "sentitems", "drafts", "deleteditems", "junkemail",
                                                 "archive"};

std::string FolderPath(const std::string& folder) {
  const std::string lower = AsciiLowered(folder);
  return kWellKnownFolders.count(lower) ? lower : folder;
}

class GraphOperations final : public MailOperations {
 public:
  GraphOperations(ApiSession& session, const Account& account) : session_(session), account_(account) {}

  bool Send(std::string& mime) override;
  bool List(const std::string& folder, int max_count, std::vector<std::string>& ids) override;
  bool Search(const std::string& query, int max_count, std::vector<std::string>& ids) override;
  bool Retrieve(const std::string& id, std::string& mime) override;
  bool Move(const std::string& id, const std::string& folder, std::string& new_id) override;
  bool Delete(const std::string& id, bool permanently, std::string& new_id) override;
  bool MarkRead(const std::string& id, bool read) override;

 private:
  // The mailbox's root: .../v1.0/me or .../v1.0/users/{id}.
  std::string Root() const {
    const bool me = EqualsIgnoringAsciiCase(account_.mailbox, "me");
    return account_.base_address + (me ? "/v1.0/me" : "/v1.0/users/" + Segment(account_.mailbox));
  }
  std::string MessageAddress(const std::string& id) const { return Root() + "/messages/" + Segment(id); }
  bool Call(ApiCall& call, http::Response& response);
  bool CallForJson(ApiCall& call, Json& reply);
  // Follows @odata.nextLink from `first` until `max_count` ids (all for 0)
  // have come; `keep` decides which items count.
  template <typename Keep>
  bool Collect(std::string first, int max_count, std::vector<std::string>& ids, Keep keep);
  bool FolderId(const char* name, std::string& id);
  bool SendLarge(std::string& mime);
  bool Upload(const std::string& draft, const SetApartAttachment& attachment);

  ApiSession& session_;
  const Account& account_;
};

bool GraphOperations::Call(ApiCall& call, http::Response& response) {
  if (session_.Perform(call, response)) return true;
  // An application's token has no "me": Graph says so in a 400.
  if (session_.last_status() == 400 && EqualsIgnoringAsciiCase(account_.mailbox, "me") &&
      session_.provider_message().find("/me request") != std::string::npos) {
    return session_.Fail(FormatMessageText(kMsgApiMeRefused, session_.provider_message().c_str()));
  }
  return false;
}

bool GraphOperations::CallForJson(ApiCall& call, Json& reply) {
  http::Response response;
  return Call(call, response) && ReadReply(session_, call, response, reply);
}

template <typename Keep>
bool GraphOperations::Collect(std::string next, int max_count, std::vector<std::string>& ids, Keep keep) {
  while (!next.empty()) {
    ApiCall call;
    call.url = std::move(next);
    Json reply;
    if (!CallForJson(call, reply)) return false;
    const auto value = reply.find("value");
    if (value != reply.end() && value->is_array()) {
      for (const Json& item : *value) {
        const std::string id = item.is_object() ? TextMember(item, "id") : std::string();
        if (id.empty() || !keep(item)) continue;
        ids.push_back(id);
        if (max_count > 0 && ids.size() >= static_cast<size_t>(max_count)) return true;
      }
    }
    next = TextMember(reply, "@odata.nextLink");
    if (!next.empty() && !SameOrigin(next, account_.base_address)) {
      return session_.Fail(FormatMessageText(kMsgApiUnreadable, call.method.c_str(),
                                             ApiSession::ShownAddress(call.url).c_str(),
                                             "its next page is on another server"));
    }
  }
  return true;
}

std::string TopParameter(int max_count) {
  return "$top=" + std::to_string(max_count > 0 ? std::min(max_count, kPageSize) : kPageSize);
}

bool GraphOperations::List(const std::string& folder, int max_count, std::vector<std::string>& ids) {
  return Collect(Root() + "/mailFolders/" + Segment(FolderPath(folder)) + "/messages?$select=id&" +
                     TopParameter(max_count) + "&$orderby=receivedDateTime%20desc",
                 max_count, ids, [](const Json&) { return true; });
}

bool GraphOperations::FolderId(const char* name, std::string& id) {
  ApiCall call;
  call.url = Root() + "/mailFolders/" + name + "?$select=id";
  Json reply;
  if (!CallForJson(call, reply)) return false;
  id = TextMember(reply, "id");
  return true;
}

bool GraphOperations::Search(const std::string& query, int max_count, std::vector<std::string>& ids) {
  // Graph searches every folder: junk and deleted items are left out here.
  std::string junk, deleted;
  if (!FolderId("junkemail", junk) || !FolderId("deleteditems", deleted)) return false;
  std::string term = query;
  if (term.size() < 2 || term.front() != '"' || term.back() != '"') {
    std::string quoted = "\"";
    for (const char c : query) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    term = quoted + "\"";
  }
  return Collect(Root() + "/messages?$search=" + Segment(term) + "&$select=id,parentFolderId&" +
                     TopParameter(max_count),
                 max_count, ids, [&](const Json& item) {
                   const std::string folder = TextMember(item, "parentFolderId");
                   return folder.empty() || (folder != junk && folder != deleted);
                 });
}

bool GraphOperations::Retrieve(const std::string& id, std::string& mime) {
  ApiCall call;
  call.url = MessageAddress(id) + "/$value";
  call.accept.clear();
  http::Response response;
  if (!Call(call, response)) return false;
  mime = std::move(response.body);
  return true;
}

bool GraphOperations::Move(const std::string& id, const std::string& folder, std::string& new_id) {
  ApiCall call;
  call.method = "POST";
  call.url = MessageAddress(id) + "/move";
  call.content_type = "application/json";
  call.body = Json{{"destinationId", FolderPath(folder)}}.dump();
  Json reply;
  if (!CallForJson(call, reply)) return false;
  new_id = TextMember(reply, "id");
  if (new_id.empty()) {
    return session_.Fail(FormatMessageText(kMsgApiUnreadable, "POST", ApiSession::ShownAddress(call.url).c_str(),
                                           "no id for the moved message"));
  }
  return true;
}

bool GraphOperations::Delete(const std::string& id, bool permanently, std::string& new_id) {
  if (!permanently) return Move(id, "deleteditems", new_id);
  ApiCall call;
  call.method = "POST";
  call.url = MessageAddress(id) + "/permanentDelete";
  http::Response response;
  return Call(call, response);
}

bool GraphOperations::MarkRead(const std::string& id, bool read) {
  ApiCall call;
  call.method = "PATCH";
  call.url = MessageAddress(id);
  call.content_type = "application/json";
  call.body = Json{{"isRead", read}}.dump();
  http::Response response;
  return Call(call, response);
}

bool GraphOperations::Send(std::string& mime) {
  if ((mime.size() + 2) / 3 * 4 > kRequestLimit) return SendLarge(mime);
  ApiCall call;
  call.method = "POST";
  call.url = Root() + "/sendMail";
  call.content_type = "text/plain";
  call.body = Base64Run(mime);
  call.hands_over_mail = true;
  http::Response response;
  return Call(call, response);
}

// Too large for sendMail: a draft without its large attachments, each of
// them through an upload session, then the draft is sent.
bool GraphOperations::SendLarge(std::string& mime) {
  std::string draft = mime;
  std::vector<SetApartAttachment> apart;
  if (!SetAttachmentsApart(draft, kUploadAbove, kRequestLimit, apart)) return session_.Fail(MessageText(kMsgApiCannotSplit));
  for (const SetApartAttachment& attachment : apart) {
    if (attachment.bytes.size() > kLargestAttachment) {
      return session_.Fail(FormatMessageText(kMsgApiAttachmentTooLarge, attachment.name.c_str(),
                                             std::to_string(attachment.bytes.size()).c_str(), "Microsoft Graph",
                                             std::to_string(kLargestAttachment).c_str()));
    }
  }
  ApiCall create;
  create.method = "POST";
  create.url = Root() + "/messages";
  create.content_type = "text/plain";
  create.body = Base64Run(draft);
  Json reply;
  if (!CallForJson(create, reply)) return false;
  const std::string id = TextMember(reply, "id");
  if (id.empty()) {
    return session_.Fail(FormatMessageText(kMsgApiUnreadable, "POST", ApiSession::ShownAddress(create.url).c_str(),
                                           "no id for the draft"));
  }
  bool uploaded = true;
  for (const SetApartAttachment& attachment : apart) {
    if (!(uploaded = Upload(id, attachment))) break;
  }
  if (uploaded) {
    ApiCall send;
    send.method = "POST";
    send.url = MessageAddress(id) + "/send";
    send.hands_over_mail = true;
    http::Response response;
    return Call(send, response);
  }
  // Nothing half-made stays behind: the draft goes, and the error that
  // stopped the upload is the one reported.
  const std::string error = session_.last_error();
  ApiCall remove;
  remove.method = "POST";
  remove.url = MessageAddress(id) + "/permanentDelete";
  http::Response response;
  // Not counted, and not stopped by a caller who stopped the upload.
  TransferMeter* const meter = std::exchange(session_.meter, nullptr);
  session_.Perform(remove, response);
  session_.meter = meter;
  return session_.Fail(error);
}

bool GraphOperations::Upload(const std::string& draft, const SetApartAttachment& attachment) {
  Json item = {{"attachmentType", "file"},
               {"name", attachment.name},
               {"size", attachment.bytes.size()},
               {"contentType", attachment.content_type},
               {"isInline", attachment.is_inline}};
  if (!attachment.content_id.empty()) item["contentId"] = attachment.content_id;
  ApiCall start;
  start.method = "POST";
  start.url = MessageAddress(draft) + "/attachments/createUploadSession";
  start.content_type = "application/json";
  start.body = Json{{"AttachmentItem", item}}.dump(-1, ' ', false, Json::error_handler_t::replace);
  Json session;
  if (!CallForJson(start, session)) return false;
  const std::string upload = TextMember(session, "uploadUrl");
  if (upload.compare(0, 8, "https://") != 0) {
    return session_.Fail(FormatMessageText(kMsgApiUnreadable, "POST", ApiSession::ShownAddress(start.url).c_str(),
                                           "no https uploadUrl"));
  }
  const size_t total = attachment.bytes.size();
  for (size_t at = 0; at < total;) {
    const size_t length = std::min(kUploadChunk, total - at);
    ApiCall piece;
    piece.method = "PUT";
    piece.url = upload;
    // The upload address carries its own authorisation; the token stays home.
    piece.authorised = false;
    piece.content_type = "application/octet-stream";
    piece.body = attachment.bytes.substr(at, length);
    piece.extra_headers.emplace_back("Content-Range", "bytes " + std::to_string(at) + "-" +
                                                          std::to_string(at + length - 1) + "/" +
                                                          std::to_string(total));
    http::Response response;
    if (!session_.Perform(piece, response)) return false;
    at += length;
  }
  return true;
}

}  // namespace

std::unique_ptr<MailOperations> MakeGraphOperations(ApiSession& session, const Account& account) {
  return std::make_unique<GraphOperations>(session, account);
}

}  // namespace vesk::mailapi
