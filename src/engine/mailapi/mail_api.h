#pragma once

// Mail through a provider's web API (Microsoft Graph, the Gmail API) for
// accounts whose SMTP, POP3 and IMAP4 are switched off: send a message as
// its MIME bytes, list and search a mailbox, retrieve a message's MIME, move,
// delete and mark it. One file per provider maps each operation to the
// provider's documented endpoints; the request rules are the session's.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mailapi/api_session.h"

namespace vesk::mailapi {

// Whose mail, and where: the account the operations work on.
struct Account {
  // https://host[:port], without a path.
  std::string base_address;
  // "me" or the user's address or id.
  std::string mailbox = "me";
};

// What a provider maps to its endpoints. Ids are the provider's own.
class MailOperations {
 public:
  virtual ~MailOperations() = default;
  // `mime` is lent: it may be changed on the way but is given back whole.
  virtual bool Send(std::string& mime) = 0;
  // Newest first, at most `max_count` (all when it is 0 or less).
  virtual bool List(const std::string& folder, int max_count, std::vector<std::string>& ids) = 0;
  virtual bool Search(const std::string& query, int max_count, std::vector<std::string>& ids) = 0;
  virtual bool Retrieve(const std::string& id, std::string& mime) = 0;
  virtual bool Move(const std::string& id, const std::string& folder, std::string& new_id) = 0;
  // `new_id`: the id in deleted items (empty after a permanent delete).
  virtual bool Delete(const std::string& id, bool permanently, std::string& new_id) = 0;
  virtual bool MarkRead(const std::string& id, bool read) = 0;
};

std::unique_ptr<MailOperations> MakeGraphOperations(ApiSession& session, const Account& account);
std::unique_ptr<MailOperations> MakeGmailOperations(ApiSession& session, const Account& account);

class MailApiClient {
 public:
  MailApiClient();

  ApiSession& session() { return session_; }
  // Told of the progress of Send and Retrieve; may stop them.
  ProgressListener progress;
  const std::string& last_error() const { return session_.last_error(); }

  // "graph" or "gmail" (any letter case); the base address follows unless
  // one was set.
  bool SetProvider(std::string_view name);
  const std::string& provider() const { return provider_; }
  // https://host[:port] alone; empty for the provider's own.
  bool SetBaseAddress(std::string_view address);
  const std::string& base_address() const { return account_.base_address; }
  bool SetMailbox(std::string_view mailbox);
  const std::string& mailbox() const { return account_.mailbox; }

  bool Send(std::string& mime);
  bool ListMessages(const std::string& folder, int max_count, std::vector<std::string>& ids);
  bool Search(const std::string& query, int max_count, std::vector<std::string>& ids);
  bool Retrieve(const std::string& id, std::string& mime);
  bool MessageSize(const std::string& id, std::int64_t& size);
  bool MoveMessage(const std::string& id, const std::string& folder, std::string& new_id);
  bool DeleteMessage(const std::string& id, bool permanently, std::string& new_id);
  bool MarkRead(const std::string& id, bool read);

 private:
  bool Begin(std::initializer_list<std::pair<const char*, const std::string*>> arguments);
  template <class Body>
  bool Metered(TransferKind kind, std::uint64_t total, Body&& body);
  void Forget() { cached_id_.clear(), cached_mime_.clear(); }

  ApiSession session_;
  Account account_;
  std::string provider_ = "graph";
  bool own_base_address_ = false;
  std::unique_ptr<MailOperations> operations_;
  // The message MessageSize fetched, kept until it is retrieved, so that
  // asking its size first does not fetch it twice.
  std::string cached_id_;
  std::string cached_mime_;
};

}  // namespace vesk::mailapi
