#pragma once

// ImapClient: the IMAP4 dialogue of one account over one connection
// (RFC 3501). Every command goes through ExecuteCommand: it formats the
// command from the command table, puts a fresh tag in front, sends the line in
// one piece, collects the responses up to the tagged one, judges that one with
// CheckCompletion and reads the untagged data the command asked for.
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
#include <initializer_list>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/imap_body_structure.h"
#include "engine/protocols/imap_responses.h"
#include "engine/protocols/line_session.h"
#include "engine/protocols/sasl_exchange.h"

namespace vesk {

// Command numbers of the command table.
enum class ImapCommand : int {
  kLogin = 1,
  kSelect = 2,
  kExamine = 3,
  kList = 4,
  kCreate = 5,
  kDelete = 6,
  kRename = 7,
  kAppend = 8,  // composed by AppendMessage, never sent through ExecuteCommand
  kStore = 9,
  kExpunge = 10,
  kCopy = 11,
  kStatus = 12,
  kSearch = 13,
  kFetchFlags = 14,
  kFetchSize = 15,
  kFetchHeader = 16,
  kFetchTextPart = 17,
  kFetchMessage = 18,
  kLogout = 19,
  kCapability = 20,
  kStartTls = 21,
  // Working through a mailbox (imap_mailbox_work.cpp).
  kMove = 22,
  kUidExpunge = 23,
  kListAll = 24,
  kIdle = 25,  // composed by WaitForChange, never sent through ExecuteCommand
  kNoop = 26,
  kFetchUid = 27,
  kFetchStructure = 28,
  kFetchSection = 29,
  kUidExists = 30,
  kFetchNewestUid = 31,  // by number whatever use_uids says
};

// One argument of a command template: a number for "%i", text for "%s".
class ImapCommandArg {
 public:
  ImapCommandArg(std::int32_t number) : is_number_(true), number_(number) {}
  ImapCommandArg(std::uint32_t number) : is_number_(true), number_(number) {}
  ImapCommandArg(std::string_view text) : text_(text) {}
  ImapCommandArg(const char* text) : text_(text) {}
  ImapCommandArg(const std::string& text) : text_(text) {}

  bool is_number() const { return is_number_; }
  std::int64_t number() const { return number_; }
  std::string_view text() const { return text_; }

 private:
  bool is_number_ = false;
  std::int64_t number_ = 0;
  std::string_view text_;
};

class ImapClient : public LineSession {
 public:
  static constexpr std::uint16_t kDefaultPort = 143;
  // Longest command (without the tag) the client sends.
  static constexpr int kMaxCommandLength = 1023;
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
  std::string mailbox_name = "INBOX";  // server form
  std::string hierarchy_delimiter = ".";  // the server's; its first character counts
  std::string client_separator = "\\";    // the callers'; its first character counts
  std::size_t max_line_bytes = kDefaultMaxLineBytes;
  // MailboxName as callers read and write it: the stored server form mapped
  // to and from client form with the delimiter known at that moment.
  std::string MailboxNameForClient() const;
  void SetMailboxNameFromClient(std::string_view client_name);

  // ---- State ---------------------------------------------------------------
  std::int32_t message_count = 0;
  std::int32_t recent_count = 0;
  std::int32_t first_unseen = 0;
  std::vector<std::string> mailbox_list;  // client form, from the last LIST
  std::vector<std::int32_t> search_results;
  std::int32_t last_flags = 0;
  std::int32_t last_size = 0;
  std::string message_text;  // the last fetched message, header or part

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
  bool use_uids = false;
  // RFC 2177 section 3: a server may log out a client idle for 30 minutes,
  // so an IDLE is ended and begun again after this long.
  std::chrono::milliseconds idle_renewal = std::chrono::minutes(25);
  std::uint32_t uid_validity = 0;  // from the last SELECT or EXAMINE
  std::uint32_t uid_next = 0;
  // Set once a caller has used UIDs (UseUIDs, UIDNext): STATUS then asks for
  // UIDNEXT too, and news of arrivals refreshes uid_next. Without it the
  // dialogues stay as they always were.
  bool uid_next_wanted = false;
  // Told the message count when WaitForChange meets news of the mailbox.
  std::function<void(std::int32_t message_count)> mailbox_news;
  std::vector<std::uint32_t> uid_search_results;
  // The parts of the message whose structure was read last.
  std::vector<ImapBodyPart> message_parts;

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

  // ---- The operations the members are made of ------------------------------
  bool ExecuteCommand(ImapCommand command, std::initializer_list<ImapCommandArg> args = {});
  bool CheckCompletion();
  bool StoreFlags(std::int32_t number, std::int32_t bits, StoreMode mode);

 private:
  // After news of arrivals: at least one above the newest message's UID.
  bool RefreshUidNext();
  bool CheckBeforeConnect() override;
  bool OpenDialogue() override;
  bool EndDialogue() override;
  bool SendSaslCommand(std::string_view line, std::string_view shown) override;
  bool SendSaslResponse(std::string_view line, std::string_view shown) override;
  SaslReply ReadSaslReply() override;
  bool LogIn();
  bool UpgradeAfterGreeting();
  bool RefuseLineBreaks(std::string_view text);
  bool MailboxArgument(std::string_view client_name, std::string& argument);
  bool CheckStoredMailboxName();
  bool SearchSentDate(std::string_view keyword, int year, int month, int day);
  void BeginCommand();
  bool SendCommandLine(std::string_view command, std::string_view shown = {});
  bool SignIn();
  bool AskCapabilities();
  void NoteCapabilities(std::string_view text);
  bool CollectResponses(bool logging_out = false);
  enum class GoAhead { kGiven, kCompleted, kFailed };
  GoAhead AwaitGoAhead();
  bool IsGoodbye(const ImapResponse& response);
  bool ReadResponse(ImapResponse& response);
  bool ReadWholeLine(std::string& line);
  bool IsTagged(const ImapResponse& response) const;
  void Interpret(ImapCommand command, std::int32_t number);
  void ReadList();
  void ReadMessageText(ImapCommand command, std::int32_t number);
  const ImapFetch* FindFetch(std::int32_t number);
  bool IsFetchFor(const ImapFetch& fetch, std::int32_t number) const;
  bool FailNoSuchMessage(std::int32_t number);
  void NoteMailboxEvent(const ImapResponse& response);
  void NoteSignedInCapabilities();
  bool ServerLists(std::string_view capability);
  bool RequireUid(std::int32_t message);
  bool MessageUid(std::int32_t message, std::uint32_t& uid);
  bool MoveByCopy(std::uint32_t uid, const std::string& mailbox);
  bool Idle(std::chrono::steady_clock::time_point until, bool& changed);
  bool Poll(std::chrono::steady_clock::time_point until, bool& changed);

  std::string tag_prefix_;
  std::string current_tag_;
  std::uint32_t command_counter_ = 0;
  bool logged_in_ = false;
  std::string capabilities_;  // words of the last CAPABILITY list, blank-separated
  bool capabilities_known_ = false;
  std::vector<ImapResponse> responses_;
  ImapFetch fetch_;  // scratch for FindFetch
  std::vector<char> chunk_;
  // What the server said of the selected mailbox between commands.
  enum MailboxChange { kNothingChanged = 0, kMessagesArrived = 1, kMessagesExpunged = 2 };
  // The mailbox the last SELECT or EXAMINE opened; empty when none is.
  std::string selected_mailbox_;
  std::uint32_t known_exists_ = 0;
  int mailbox_changes_ = kNothingChanged;
  bool fetch_found_ = false;
  bool capabilities_after_login_ = false;
  std::int32_t parts_message_ = 0;  // whose structure message_parts holds
  bool parts_by_uid_ = false;
};

}  // namespace vesk
