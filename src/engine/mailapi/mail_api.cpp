#include "engine/mailapi/mail_api.h"

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"

namespace vesk::mailapi {
namespace {

constexpr std::string_view kGraphAddress = "https://graph.microsoft.com";
constexpr std::string_view kGmailAddress = "https://gmail.googleapis.com";

// "https://" and a host with an optional port, nothing after it (a slash
// alone at the end is dropped).
bool IsOrigin(std::string_view address) {
  constexpr std::string_view kScheme = "https://";
  if (address.size() <= kScheme.size() || AsciiLowered(address.substr(0, kScheme.size())) != kScheme) return false;
  const std::string_view rest = address.substr(kScheme.size());
  if (rest.empty() || rest.front() == ':' || rest.front() == '[') return false;
  const size_t colon = rest.find(':');
  for (size_t i = 0; i < rest.size(); ++i) {
    const char c = rest[i];
    const bool host_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.';
    const bool port_char = colon != std::string_view::npos && i > colon && c >= '0' && c <= '9';
    if (!(i == colon ? rest.size() > colon + 1 && rest.size() <= colon + 6 : host_char || port_char)) return false;
  }
  return true;
}

}  // namespace

MailApiClient::MailApiClient() {
  account_.base_address = std::string(kGraphAddress);
  operations_ = MakeGraphOperations(session_, account_);
}

bool MailApiClient::SetProvider(std::string_view name) {
  const std::string lower = AsciiLowered(name);
  if (lower != "graph" && lower != "gmail") {
    return session_.Fail(FormatMessageText(kMsgApiBadProvider, std::string(name).c_str()));
  }
  provider_ = lower;
  if (!own_base_address_) account_.base_address = std::string(lower == "graph" ? kGraphAddress : kGmailAddress);
  operations_ = lower == "graph" ? MakeGraphOperations(session_, account_) : MakeGmailOperations(session_, account_);
  Forget();
  return true;
}

bool MailApiClient::SetBaseAddress(std::string_view address) {
  if (address.empty()) {
    own_base_address_ = false;
    account_.base_address = std::string(provider_ == "graph" ? kGraphAddress : kGmailAddress);
    Forget();
    return true;
  }
  if (address.back() == '/') address.remove_suffix(1);
  if (!IsOrigin(address)) return session_.Fail(FormatMessageText(kMsgApiBadBaseAddress, std::string(address).c_str()));
  own_base_address_ = true;
  account_.base_address = std::string(address);
  Forget();
  return true;
}

bool MailApiClient::SetMailbox(std::string_view mailbox) {
  if (mailbox.empty() || HasLineBreakOrNul(mailbox)) {
    return session_.Fail(FormatMessageText(kMsgApiBadArgument, "Mailbox"));
  }
  account_.mailbox = std::string(mailbox);
  Forget();
  return true;
}

bool MailApiClient::Begin(std::initializer_list<std::pair<const char*, const std::string*>> arguments) {
  for (const auto& [name, value] : arguments) {
    if (value->empty() || HasLineBreakOrNul(*value)) return session_.Fail(FormatMessageText(kMsgApiBadArgument, name));
  }
  session_.BeginOperation();
  return true;
}

template <class Body>
bool MailApiClient::Metered(TransferKind kind, std::uint64_t total, Body&& body) {
  if (!progress) return body();
  TransferMeter meter(progress, kind, total);
  session_.meter = &meter;
  const bool done = body();
  session_.meter = nullptr;
  if (done && !meter.stopped()) meter.Finish();
  return done;
}

bool MailApiClient::Send(std::string& mime) {
  if (mime.empty()) return session_.Fail(FormatMessageText(kMsgApiBadArgument, "Message"));
  session_.BeginOperation();
  return Metered(TransferKind::kApiSend, mime.size(), [&] { return operations_->Send(mime); });
}

bool MailApiClient::ListMessages(const std::string& folder, int max_count, std::vector<std::string>& ids) {
  ids.clear();
  return Begin({{"Folder", &folder}}) && operations_->List(folder, max_count, ids);
}

bool MailApiClient::Search(const std::string& query, int max_count, std::vector<std::string>& ids) {
  ids.clear();
  return Begin({{"Query", &query}}) && operations_->Search(query, max_count, ids);
}

bool MailApiClient::Retrieve(const std::string& id, std::string& mime) {
  if (!Begin({{"Id", &id}})) return false;
  if (id == cached_id_) {
    mime = std::move(cached_mime_);
    Forget();
    return true;
  }
  return Metered(TransferKind::kApiRetrieve, 0, [&] { return operations_->Retrieve(id, mime); });
}

bool MailApiClient::MessageSize(const std::string& id, std::int64_t& size) {
  if (!Begin({{"Id", &id}})) return false;
  if (id != cached_id_) {
    Forget();
    if (!Metered(TransferKind::kApiRetrieve, 0, [&] { return operations_->Retrieve(id, cached_mime_); })) return false;
    cached_id_ = id;
  }
  size = static_cast<std::int64_t>(cached_mime_.size());
  return true;
}

bool MailApiClient::MoveMessage(const std::string& id, const std::string& folder, std::string& new_id) {
  if (!Begin({{"Id", &id}, {"Folder", &folder}})) return false;
  if (id == cached_id_) Forget();
  return operations_->Move(id, folder, new_id);
}

bool MailApiClient::DeleteMessage(const std::string& id, bool permanently, std::string& new_id) {
  new_id.clear();
  if (!Begin({{"Id", &id}})) return false;
  if (id == cached_id_) Forget();
  return operations_->Delete(id, permanently, new_id);
}

bool MailApiClient::MarkRead(const std::string& id, bool read) {
  return Begin({{"Id", &id}}) && operations_->MarkRead(id, read);
}

}  // namespace vesk::mailapi
