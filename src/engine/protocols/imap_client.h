#pragma once

// ImapClient: the IMAP4 dialogue of one account over one connection
// (RFC 3501). Every command goes through ExecuteCommand: it formats the
// command from the command table (imap_commands.h), puts a fresh tag in
// front, sends the line in one piece, collects the responses up to the tagged
// one, judges that one with CheckCompletion and reads the untagged data the
// command asked for.
//
// Its members live in one file per concern:
//   imap_exchange.cpp      tags, sending a command, reading responses and
//                          literals up to the tagged reply or a go-ahead, BYE
//   imap_results.cpp       what the untagged data of a command says
//   imap_opening.cpp       greeting, STARTTLS, capabilities, sign-in, LOGOUT
//   imap_client.cpp        mailbox names as arguments, and the commands
//   imap_mailbox_work.cpp  UIDs, moving, mailbox roles, waiting for news, parts
//
// Responses are read whole: untagged data that announces a literal ("{n}" at
// the end of a line) is followed by exactly n bytes taken as they are, so the
// lines of a message can never be taken for a tagged reply, and a line of any
// length stays intact. A response line may hold up to max_line_bytes bytes; a
// longer one fails the command (the session should then be given up, as the
// rest of that line is still on its way).
//
// Caller text that goes into a command (user, password, mailbox names, search
// criteria) is refused, before anything is sent, when it holds CR, LF or NUL;
// user, password and mailbox names are sent as atoms or, when they need it, as
// quoted strings (RFC 3501 section 4.3).
//
// Mailbox names in client form are UTF-8 text with the caller's separator;
// in server form they are modified UTF-7 with the server's delimiter (see
// imap_mailbox_names.h). A name the server sends that is not valid modified
// UTF-7 reaches the caller as it came.
//
// Signing in: LOGIN, as always, unless the method names SASL PLAIN or XOAUTH2
// or an access token is set; then AUTHENTICATE (RFC 4959: with the initial
// response when the server lists SASL-IR). The capabilities come from the
// greeting or, when a method is named or the connection protected, from
// CAPABILITY. LOGIN is never sent to a server that lists LOGINDISABLED
// (RFC 3501 section 6.2.3): automatic sign-in then takes AUTHENTICATE PLAIN
// when offered, and fails with a clear text otherwise.
//
// An untagged BYE while a command other than LOGOUT waits for its tagged
// reply means the server is closing the connection: the command fails at once
// with the server's text, and the session counts as logged out.
//
// Methods return true on success; on failure last_error says why. Nothing here
// knows about automation types: dates come as year, month and day, lists and
// message text as standard containers and narrow text.

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/protocols/imap_body_structure.h"
#include "engine/protocols/imap_commands.h"
#include "engine/protocols/imap_responses.h"
#include "engine/protocols/line_session.h"
#include "engine/protocols/sasl_exchange.h"

namespace vesk {

class ImapClient : public LineSession {
 public:
  static constexpr std::uint16_t kDefaultPort = 143;
  // Longest command (without the tag) the client sends.
  static constexpr int kMaxCommandLength = 1023;
  // The separator of levels in the mailbox names callers give and read.
  static constexpr std::string_view kClientSeparator = "\\";
  // Longest mailbox name a caller may give.
  static constexpr int kMaxMailboxNameLength = 259;
  // Default limit of one response line (literal bytes not counted): room for
  // a SEARCH answer listing more than a million message numbers.
  static constexpr std::size_t kDefaultMaxLineBytes = 16u << 20;
  // Largest literal (one fetched message) the client accepts.
  static constexpr std::uint64_t kMaxLiteralBytes = 1u << 30;
  // Longest wait for the reply to the LOGOUT sent at destruction.
  static constexpr int kLogoutOnDestructionWaitMs = 500;

  enum class StoreMode { kAdd, kRemove };

  ImapClient();   // opens the socket and makes the tag prefix
  ~ImapClient();  // logs out when still logged in (briefly), closes the socket
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  // ---- Settings (host, port, time-out, security, credentials and trace are
  // LineSession's; User "user" and Password "lemonade" by default) ----------
  // The selected mailbox's name in server form.
  const std::string& mailbox_name() const { return mailbox_name_; }
  void set_mailbox_name(std::string_view name) { mailbox_name_.assign(name); }
  // The server's hierarchy delimiter (its first character counts), as its
  // LIST answers give it.
  const std::string& hierarchy_delimiter() const { return hierarchy_delimiter_; }
  void set_max_line_bytes(std::size_t bytes) { max_line_bytes_ = bytes; }
  // MailboxName as callers read and write it: the stored server form mapped
  // to and from client form with the delimiter known at that moment.
  std::string MailboxNameForClient() const;
  void SetMailboxNameFromClient(std::string_view client_name);

  // ---- State ---------------------------------------------------------------
  std::int32_t message_count() const { return message_count_; }
  std::int32_t recent_count() const { return recent_count_; }
  std::int32_t first_unseen() const { return first_unseen_; }
  // Client form, from the last LIST.
  const std::vector<std::string>& mailbox_list() const { return mailbox_list_; }
  const std::vector<std::int32_t>& search_results() const { return search_results_; }
  std::int32_t last_size() const { return last_size_; }
  // The last fetched message, header or part.
  const std::string& message_text() const { return message_text_; }

  // last_reply(): the tagged line that ended the last command (or the
  // greeting or BYE that ended the session).
  const std::string& tag_prefix() const { return tag_prefix_; }
  const std::string& current_tag() const { return current_tag_; }
  bool logged_in() const { return logged_in_; }
  // The responses of the last command (after a successful CheckCompletion,
  // without the tagged one).
  const std::vector<ImapResponse>& responses() const { return responses_; }

  // ---- Protocol members (Connect and Disconnect: LineSession's) ----------
  bool SelectMailbox(bool read_only);
  bool CreateMailbox(std::string_view client_name);
  bool DeleteMailbox(std::string_view client_name);
  bool RenameMailbox(std::string_view old_client_name, std::string_view new_client_name);
  bool GetMailboxesList();  // fills mailbox_list
  // `message` is the raw message text; it is sent as a literal of its bytes.
  bool AppendMessage(std::string_view client_name, std::string_view message);
  bool DeleteMessage(std::int32_t number);
  bool Expunge();
  bool CopyMessage(std::int32_t number, std::string_view client_name);
  bool Search(std::string_view criteria);  // fills search_results
  bool SearchByFlags(std::int32_t flags);
  bool SearchSentOn(int year, int month, int day);
  bool SearchSentBefore(int year, int month, int day);
  bool SearchSentSince(int year, int month, int day);
  bool Retrieve(std::int32_t number);        // fills message_text
  bool RetrieveHeader(std::int32_t number);  // fills message_text
  bool RetrieveTop(std::int32_t number, std::int32_t bytes);  // fills message_text
  bool GetMessageSize(std::int32_t number);   // fills last_size
  // Fills last_flags; `flags` gets its six flag bits, or 0 on failure.
  bool GetMessageFlags(std::int32_t number, std::int32_t& flags);
  bool PutMessageFlags(std::int32_t number, std::int32_t flags);
  bool UpdateStatus();

  // ---- Working through a mailbox (imap_mailbox_work.cpp) ---------------------
  // While use_uids is set, the message argument of every member is a unique
  // identifier (RFC 3501 section 2.3.1.1; its 32 bits in the int32 given) and
  // the commands are their UID forms; searches fill uid_search_results. A UID
  // that the mailbox does not hold fails with a clear text, never touching
  // another message. Cleared, everything is by message number, as always.
  bool use_uids() const { return use_uids_; }
  void set_use_uids(bool use) { use_uids_ = use; }
  // RFC 2177 section 3: a server may log out a client idle for 30 minutes,
  // so an IDLE is ended and begun again after this long.
  void set_idle_renewal(std::chrono::milliseconds after) { idle_renewal_ = after; }
  std::uint32_t uid_validity() const { return uid_validity_; }  // from the last SELECT or EXAMINE
  std::uint32_t uid_next() const { return uid_next_; }
  // Set once a caller has used UIDs (UseUIDs, UIDNext): STATUS then asks for
  // UIDNEXT too, and news of arrivals refreshes uid_next. Without it the
  // dialogues stay as they always were.
  void want_uid_next() { uid_next_wanted_ = true; }
  // Told the message count when WaitForChange meets news of the mailbox.
  void set_mailbox_news(std::function<void(std::int32_t message_count)> listener) {
    mailbox_news_ = std::move(listener);
  }
  const std::vector<std::uint32_t>& uid_search_results() const { return uid_search_results_; }
  // The parts of the message whose structure was read last.
  const std::vector<ImapBodyPart>& message_parts() const { return message_parts_; }

  // MOVE (RFC 6851) where listed; else COPY, \Deleted and UID EXPUNGE of
  // that one message (RFC 4315); else a failure, before anything is changed.
  bool MoveMessage(std::int32_t message, std::string_view client_name);
  // The mailbox with the RFC 6154 role ("Sent", "Trash", "Junk", "Drafts",
  // "Archive", "All"; letters in any case), in client form; empty when no
  // mailbox has it.
  bool FindSpecialMailbox(std::string_view role, std::string& client_name);
  // Waits up to `seconds` for the selected mailbox to gain or lose messages:
  // IDLE (RFC 2177) where listed, renewed well within the 29 minutes a
  // server may wait; NOOP once a second otherwise. New messages reported
  // in the replies to earlier commands count at once. After a change,
  // message_count is the count the server's responses gave.
  bool WaitForChange(int seconds, bool& changed);
  // BODYSTRUCTURE into message_parts.
  bool FetchStructure(std::int32_t message);
  // The content of one part (BODY.PEEK, so the message stays unseen),
  // decoded as its transfer encoding says; the part's description in `part`.
  bool FetchPart(std::int32_t message, std::string_view section, std::string& content, ImapBodyPart& part);

  // Sends one command of the table and reads its answer (imap_exchange.cpp);
  // a message argument is a UID while use_uids is set.
  bool ExecuteCommand(ImapCommand command, std::initializer_list<ImapCommandArg> args = {});

 private:
  enum MailboxChange { kNothingChanged = 0, kMessagesArrived = 1, kMessagesExpunged = 2 };

  // ---- LineSession's dialogues (imap_opening.cpp) ---------------------------
  bool CheckBeforeConnect() override;
  bool OpenDialogue() override;
  bool EndDialogue() override;
  bool SendSaslCommand(std::string_view line, std::string_view shown) override;
  SaslReply ReadSaslReply() override;
  bool LogIn();
  bool UpgradeAfterGreeting();
  bool SignIn();
  bool AskCapabilities();
  void NoteCapabilities(std::string_view text);
  void NoteSignedInCapabilities();
  bool ServerLists(std::string_view capability);

  // ---- Commands and responses (imap_exchange.cpp) ---------------------------
  static std::string NewTagPrefix();
  // A command begins: its own tag, and no responses gathered yet.
  void BeginCommand();
  // Sends the current tag and `command` (which ends in CR LF) as one line;
  // `shown` (without the tag) replaces it in the trace.
  bool SendCommandLine(std::string_view command, std::string_view shown = {});
  // ExecuteCommand with the messages named by UID (`by_uid`) or by number,
  // whatever use_uids says.
  bool ExecuteCommandNaming(bool by_uid, ImapCommand command, std::initializer_list<ImapCommandArg> args);
  // How the reading of a command's answer goes on after one response.
  enum class GoAhead { kGiven, kCompleted, kFailed };
  enum class Arrival { kUntagged, kGoAhead, kTagged, kFailed };
  Arrival ReadNextResponse(bool go_ahead_ends, bool logging_out = false);
  GoAhead ReadUntilReply(bool go_ahead_ends, bool logging_out);
  // The responses up to the tagged reply.
  bool CollectResponses(bool logging_out = false);
  // The responses up to the server's "+" or the tagged reply.
  GoAhead AwaitGoAhead();
  bool IsGoodbye(const ImapResponse& response);
  bool ReadResponse(ImapResponse& response);
  bool ReadWholeLine(std::string& line);
  bool IsTagged(const ImapResponse& response) const;
  bool CheckCompletion();

  // ---- What the answers say (imap_results.cpp) -------------------------------
  void Interpret(ImapCommand command, std::int32_t number, bool by_uid);
  void ReadList();
  void ReadMessageText(ImapCommand command, std::int32_t number, bool by_uid);

  // ---- Caller text as arguments (imap_client.cpp) -----------------------------
  bool RefuseLineBreaks(std::string_view text);
  bool MailboxArgument(std::string_view client_name, std::string& argument);
  bool CheckMailboxName(std::string_view name);
  bool SearchSentDate(std::string_view keyword, int year, int month, int day);
  bool StoreFlags(std::int32_t number, std::int32_t bits, StoreMode mode, bool by_uid);

  // ---- Working through a mailbox (imap_mailbox_work.cpp) ----------------------
  bool IsFetchFor(const ImapFetch& fetch, std::int32_t number, bool by_uid) const;
  bool FailNoSuchMessage(std::int32_t number, bool by_uid);
  void NoteMailboxEvent(const ImapResponse& response);
  bool RequireUid(std::int32_t message);
  bool MessageUid(std::int32_t message, std::uint32_t& uid);
  bool MoveByCopy(std::uint32_t uid, const std::string& mailbox);
  // After news of arrivals: at least one above the newest message's UID.
  bool RefreshUidNext();
  bool Idle(std::chrono::steady_clock::time_point until, bool& changed);
  bool Poll(std::chrono::steady_clock::time_point until, bool& changed);

  // Bytes asked of the connection at a time while a line is read.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  std::string mailbox_name_ = "INBOX";
  std::string hierarchy_delimiter_ = ".";
  std::size_t max_line_bytes_ = kDefaultMaxLineBytes;
  std::int32_t message_count_ = 0;
  std::int32_t recent_count_ = 0;
  std::int32_t first_unseen_ = 0;
  std::vector<std::string> mailbox_list_;
  std::vector<std::int32_t> search_results_;
  std::int32_t last_flags_ = 0;
  std::int32_t last_size_ = 0;
  std::string message_text_;
  bool use_uids_ = false;
  std::chrono::milliseconds idle_renewal_ = std::chrono::minutes(25);
  std::uint32_t uid_validity_ = 0;
  std::uint32_t uid_next_ = 0;
  bool uid_next_wanted_ = false;
  std::function<void(std::int32_t message_count)> mailbox_news_;
  std::vector<std::uint32_t> uid_search_results_;
  std::vector<ImapBodyPart> message_parts_;

  std::string tag_prefix_;
  std::string current_tag_;
  std::uint32_t command_counter_ = 0;
  bool logged_in_ = false;
  std::string capabilities_;  // words of the last CAPABILITY list, blank-separated
  bool capabilities_known_ = false;
  std::vector<ImapResponse> responses_;
  ImapFetch fetch_;  // scratch for reading FETCH responses
  std::vector<char> chunk_;
  // The mailbox the last SELECT or EXAMINE opened; empty when none is.
  std::string selected_mailbox_;
  std::uint32_t known_exists_ = 0;
  // What the server said of the selected mailbox between commands.
  int mailbox_changes_ = kNothingChanged;
  bool fetch_found_ = false;
  bool capabilities_after_login_ = false;
  std::int32_t parts_message_ = 0;  // whose structure message_parts holds
  bool parts_by_uid_ = false;
};

}  // namespace vesk
