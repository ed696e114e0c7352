#include "engine/protocols/imap_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/messages.h"
#include "support/sessions.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::FakeServer;
using testing::MillisecondsSince;

constexpr char kAfterLogin[] = "IMAP4rev1 LITERAL+ IDLE MOVE UIDPLUS SPECIAL-USE LIST-EXTENDED";

// A client talking to a scripted server. Tags are known before the script is
// written: the prefix is made when the client is, and the counter starts at 0.
class ImapDialogue : public ::testing::Test {
 protected:
  ImapDialogue() : client_(std::make_unique<ImapClient>()), prefix_(client_->tag_prefix()) {
    client_->set_host("127.0.0.1");
    client_->set_port(server_.port());
    client_->set_timeout_ms(2000);
  }

  ImapClient& client() { return *client_; }
  std::string Tag(int counter) const { return prefix_ + std::to_string(counter); }

  // The server expects the next tag followed by `command`, then sends
  // `reply`, in which "{tag}" stands for that tag.
  ImapDialogue& Expect(const std::string& command, const std::string& reply) {
    ++next_tag_;
    return ExpectUntagged(Tag(next_tag_ - 1) + command, reply);
  }
  // A line the client sends without a tag (a literal, DONE); "{tag}" in the
  // reply stands for the tag of the command before.
  ImapDialogue& ExpectUntagged(const std::string& line, std::string reply) {
    for (size_t at; (at = reply.find("{tag}")) != std::string::npos;) reply.replace(at, 5, Tag(next_tag_ - 1));
    server_.ExpectLine(line).Send(reply);
    sent_.push_back(line);
    return *this;
  }
  // Greeting, LOGIN and the root LIST (tags 0 and 1). The tagged reply to
  // LOGIN lists `capabilities` (none: the client must ask).
  void SignIn(const std::string& capabilities = kAfterLogin, const std::string& delimiter = "/") {
    server_.Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n");
    Expect(" LOGIN user lemonade",
           capabilities.empty() ? "{tag} OK Logged in\r\n" : "{tag} OK [CAPABILITY " + capabilities + "] Logged in\r\n");
    Expect(" LIST \"\" \"\"", "* LIST (\\Noselect) \"" + delimiter + "\" \"\"\r\n{tag} OK done\r\n");
  }
  void Connect(const std::string& delimiter = ".") { SignIn("IMAP4rev1", delimiter); }
  void Select(const std::string& answer = "* 3 EXISTS\r\n* OK [UIDVALIDITY 3000000001] UIDs valid\r\n"
                                          "* OK [UIDNEXT 4000000000] Predicted next UID\r\n") {
    Expect(" SELECT INBOX", answer + "{tag} OK [READ-WRITE] Select completed\r\n");
    selects_ = true;
  }
  // Then the LOGOUT that Disconnect or the destructor sends.
  void StartAndConnect(bool logout = true) {
    if (logout) Expect(" LOGOUT", "* BYE Logging out\r\n{tag} OK Logout completed.\r\n");
    server_.Start();
    ASSERT_TRUE(client().Connect()) << client().last_error();
    if (selects_) ASSERT_TRUE(client().SelectMailbox(false)) << client().last_error();
  }
  // Releases the client (which may log out) and checks the lines it sent:
  // all of them, or (`exact` false) the first ones.
  void ExpectTranscript(bool exact = true) {
    client_.reset();
    server_.Finish();
    EXPECT_THAT(server_.Problems(), IsEmpty());
    std::vector<std::string> lines = server_.ReceivedLines();
    if (!exact && lines.size() > sent_.size()) lines.resize(sent_.size());
    EXPECT_THAT(lines, ElementsAreArray(sent_));
  }

  FakeServer server_;
  std::unique_ptr<ImapClient> client_;
  const std::string prefix_;
  int next_tag_ = 0;
  bool selects_ = false;
  std::vector<std::string> sent_;
};
using MailboxWork = ImapDialogue;  // the members a script uses to work through a mailbox

// `head` {size} CR LF, the literal, then what closes the response.
std::string FetchLiteral(const std::string& head, const std::string& literal) {
  return head + " {" + std::to_string(literal.size()) + "}\r\n" + literal + ")\r\n";
}

TEST_F(ImapDialogue, ARefusedLogInIsNeitherLoggedInNorLoggedOut) {
  server_.Send("* ok hello\r\n");  // compared without regard to case
  Expect(" LOGIN user lemonade", "{tag} NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
  server_.Start();
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error(), "[AUTHENTICATIONFAILED] Authentication failed.");
  EXPECT_FALSE(client().logged_in());
  ExpectTranscript();
}

// Dovecot, after deleting the selected mailbox, answers OK and then says BYE
// and closes. The next command reads the BYE and fails with its text at once
// (not with the time-out); an APPEND sends no message after it, and releasing
// the client sends no LOGOUT.
TEST_F(ImapDialogue, AnUntaggedByeEndsTheCommandWithTheServersText) {
  Connect();
  Expect(" DELETE Work", "{tag} OK Delete completed.\r\n* BYE Selected mailbox was deleted, have to disconnect.\r\n");
  Expect(" APPEND INBOX {17}", "");
  server_.Close();
  StartAndConnect(false);
  client().set_timeout_ms(10000);
  ASSERT_TRUE(client().DeleteMailbox("Work")) << client().last_error();
  EXPECT_FALSE(client().AppendMessage("INBOX", "Subject: x\r\n\r\nx\r\n"));
  EXPECT_EQ(client().last_error(), "Selected mailbox was deleted, have to disconnect.");
  EXPECT_FALSE(client().logged_in());
  ExpectTranscript();
}

// One command each: the line sent, the server's answer, and what the client
// makes of it. Untagged lines among the answers never disturb the outcome.
struct CommandCase {
  const char* name;
  std::function<bool(ImapClient&)> call;
  std::string sent;   // after the tag
  std::string reply;  // "{tag}" stands for the tag
  bool succeeds;
  std::string error;
  std::function<void(ImapClient&)> check = [](ImapClient&) {};
};

class ImapCommands : public ImapDialogue, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ImapCommands, SendTheLineAndReadTheAnswer) {
  const CommandCase& c = GetParam();
  Connect("/");
  Expect(c.sent, c.reply);
  StartAndConnect(false);
  client().first_unseen = 9;
  EXPECT_EQ(c.call(client()), c.succeeds);
  EXPECT_EQ(client().last_error(), c.error);
  c.check(client());
  ExpectTranscript(false);
}

std::vector<CommandCase> CommandCases() {
  return {
      {"NoWithAResponseCode", [](ImapClient& c) { return c.CopyMessage(3, "Archive"); }, " COPY 3:3 Archive",
       "{tag} NO [TRYCREATE] Mailbox doesn't exist: Archive\r\n", false, "[TRYCREATE] Mailbox doesn't exist: Archive"},
      // The text after the status word, without the server's timing.
      {"BadGivesTheServersTextWithoutItsTiming", [](ImapClient& c) { return c.Expunge(); }, " EXPUNGE",
       "{tag} BAD Error in IMAP command EXPUNGE: No mailbox selected (0.001 + 0.000 + 0.001 secs).\r\n", false,
       "Error in IMAP command EXPUNGE: No mailbox selected"},
      // Without a mailbox name every mailbox is listed from the top.
      {"EmptyMailboxNameListsFromTheTop", [](ImapClient& c) { return c.mailbox_name.clear(), c.GetMailboxesList(); },
       " LIST \"\" \"*\"", "* LIST () \"/\" Top\r\n* LIST () \"/\" Top/Sub\r\n{tag} OK\r\n", true, "Unknown error",
       [](ImapClient& c) { EXPECT_EQ(c.mailbox_list, std::vector<std::string>({"Top", "Top\\Sub"})); }},
      {"StatusSetsMessagesAndRecentButNotFirstUnseen", [](ImapClient& c) { return c.UpdateStatus(); },
       " STATUS INBOX (MESSAGES RECENT UNSEEN)", "* STATUS INBOX (MESSAGES 231 RECENT 1 UNSEEN 5)\r\n{tag} OK\r\n", true,
       "Unknown error", [](ImapClient& c) {
         EXPECT_EQ(std::vector<std::int32_t>({c.message_count, c.recent_count, c.first_unseen}),
                   std::vector<std::int32_t>({231, 1, 9}));
       }},
      {"RejectedNumberGivesZeroFlags", [](ImapClient& c) { return c.last_flags = 7, c.GetMessageFlags(99, c.last_flags); },
       " FETCH 99:99 FLAGS", "{tag} BAD Error in IMAP command FETCH: Invalid messageset\r\n", false,
       "Error in IMAP command FETCH: Invalid messageset", [](ImapClient& c) { EXPECT_EQ(c.last_flags, 0); }},
      // Dovecot's answer for a message that another session has expunged.
      {"ANilTextIsAnEmptyMessageNotTheWordNil", [](ImapClient& c) { return c.message_text = "left", c.Retrieve(1); },
       " FETCH 1:1 RFC822",
       "* 1 FETCH (FLAGS (\\Deleted) RFC822 NIL)\r\n{tag} OK [EXPUNGEISSUED] Some messages were already expunged\r\n",
       true, "Unknown error", [](ImapClient& c) { EXPECT_EQ(c.message_text, ""); }},
      {"AnImpossibleLiteralFails", [](ImapClient& c) { return c.Retrieve(1); }, " FETCH 1:1 RFC822",
       "* 1 FETCH (RFC822 {2147483648}\r\n", false, "Invalid literal in server response"},
      {"ASilentServerGivesTheTimeOut", [](ImapClient& c) { return c.set_timeout_ms(100), c.Expunge(); }, " EXPUNGE", "",
       false, "Socket error # 10060"},
      {"ALongSearchAnswerBeyondTheLimitFails", [](ImapClient& c) { return c.max_line_bytes = 1000, c.Search("ALL"); },
       " SEARCH ALL", "* SEARCH" + std::string(1000, ' ') + "1\r\n{tag} OK\r\n", false,
       "Server response line longer than 1000 bytes"},
      {"AppendRefusedSendsNothingOfTheMessage", [](ImapClient& c) { return c.AppendMessage("Missing", "X: y\r\n\r\nz"); },
       " APPEND Missing {9}", "* 3 EXISTS\r\n{tag} NO [TRYCREATE] Mailbox doesn't exist: Missing\r\n", false,
       "[TRYCREATE] Mailbox doesn't exist: Missing"},
  };
}

INSTANTIATE_TEST_SUITE_P(ImapClient, ImapCommands, ::testing::ValuesIn(CommandCases()), testing::RowName);

// A line of the message that starts with the tag is part of the literal, and
// the stream stays in step for the next command.
TEST_F(ImapDialogue, MessageTextIsExactlyTheLiteral) {
  const std::string message = "Subject: test\r\n\r\n" + std::string(3000, 'x') + "\r\n(parentheses)\r\n" + Tag(2) +
                              " OK this line is part of the message\r\n" + Tag(2) + " NO nor this\r\nno line end";
  Connect();
  Expect(" FETCH 1:1 RFC822", FetchLiteral("* 1 FETCH (FLAGS (\\Seen) RFC822", message) + "{tag} OK Fetch completed.\r\n");
  Expect(" EXPUNGE", "{tag} OK Expunge completed.\r\n");
  StartAndConnect();
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error();
  EXPECT_EQ(client().message_text, message);
  EXPECT_TRUE(client().Expunge());
  ExpectTranscript();
}

// Criteria beyond ASCII go as UTF-8, said so with CHARSET, each such string
// as a literal sent after the server's go-ahead; ASCII criteria stay as given.
TEST_F(ImapDialogue, SearchBeyondAsciiSendsUtf8Literals) {
  Connect();
  Expect(" SEARCH CHARSET UTF-8 SUBJECT {7}", "+ go ahead\r\n");
  ExpectUntagged("Gr\xC3\xBC\xC3\x9F" "e FROM \"a b\" BODY {5}", "+ go ahead\r\n");
  ExpectUntagged("K\xC3\xB6ln)", "* SEARCH 2 7\r\n{tag} OK done\r\n");
  Expect(" SEARCH CHARSET UTF-8 TEXT {3}", "{tag} NO [BADCHARSET] no\r\n");
  StartAndConnect();
  ASSERT_TRUE(client().Search("SUBJECT \"Gr\xC3\xBC\xC3\x9F" "e\" FROM \"a b\" BODY K\xC3\xB6ln)")) << client().last_error();
  EXPECT_EQ(client().search_results, std::vector<std::int32_t>({2, 7}));
  // A server that refuses at once never gets the literal.
  EXPECT_FALSE(client().Search("CHARSET UTF-8 TEXT \xE2\x82\xAC"));
  ExpectTranscript();
}

TEST(ImapResponses, ServerTextLosesWhiteSpaceAndTiming) {
  const std::pair<std::string, std::string> cases[] = {
      {" Mailbox doesn't exist: Foo (0.001 + 0.000 secs).", "Mailbox doesn't exist: Foo"},
      {"[TRYCREATE] No such mailbox", "[TRYCREATE] No such mailbox"},
      {"Completed (in two steps)", "Completed (in two steps)"},
      {"  ", ""},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ServerText(text), shown) << text;
}

// Caller text that could end the command line, or would not fit its limits,
// is refused before anything is sent and without using a tag.
TEST_F(ImapDialogue, HostileOrOverlongCallerTextIsRefusedBeforeSending) {
  Connect();
  StartAndConnect();
  const std::string refused = MessageText(kMsgLineBreakInCommand);
  const std::pair<std::function<bool(ImapClient&)>, std::string> cases[] = {
      {[](ImapClient& c) { return c.CreateMailbox("a\r\nX LOGOUT"); }, refused},
      {[](ImapClient& c) { return c.Search("ALL\r\nX DELETE INBOX"); }, refused},
      {[](ImapClient& c) { return c.mailbox_name = "INBOX\r\nX", c.SelectMailbox(false); }, refused},
      {[](ImapClient& c) { return c.CreateMailbox(std::string(260, 'm')); }, "Mailbox name longer than 259 characters"},
      {[](ImapClient& c) { return c.Search("TEXT " + std::string(1020, 's')); }, "Command longer than 1023 characters"},
      {[](ImapClient& c) { return c.SearchSentOn(2003, 2, 29); }, "Invalid date"}};
  for (const auto& [call, error] : cases) {
    EXPECT_FALSE(call(client()));
    EXPECT_EQ(client().last_error(), error);
  }
  EXPECT_EQ(client().current_tag(), Tag(1));
  ExpectTranscript();
  ImapClient hostile;
  hostile.set_host("127.0.0.1");
  hostile.set_port(testing::UnusedLoopbackPort());
  hostile.set_password("secret\r\nX DELETE INBOX");
  EXPECT_FALSE(hostile.Connect());
  EXPECT_EQ(hostile.last_error(), refused) << "refused before connecting";
}

// Log-in arguments that are no atoms are quoted; a root line gives the
// delimiter (none: it stays "."); a second Connect fails and leaves the
// session alone; Disconnect logs out once, and the session has ended.
TEST_F(ImapDialogue, ConnectLogsInAndDisconnectLogsOutOnce) {
  server_.Send("* OK ready\r\n");
  Expect(" LOGIN \"John Smith\" \"p\\\"w\\\\d\"", "{tag} OK Logged in\r\n");
  Expect(" LIST \"\" \"\"", "{tag} OK done\r\n");
  client().set_user("John Smith");
  client().set_password("p\"w\\d");
  StartAndConnect();
  EXPECT_EQ(client().hierarchy_delimiter, ".");
  EXPECT_FALSE(client().Connect());  // its text and the ended session: SessionRules
  EXPECT_TRUE(client().logged_in());
  ASSERT_TRUE(client().Disconnect()) << client().last_error();
  EXPECT_FALSE(client().logged_in());
  ExpectTranscript();
}

// By UID every member names its message by UID, with all 32 bits; the
// answer is matched by its UID item, and a UID the mailbox does not hold
// fails clearly instead of giving another message or nothing.
TEST_F(MailboxWork, ByUidEveryMemberUsesTheUidFormAndAMissingUidFails) {
  SignIn();
  Select();
  const std::string message = "Subject: by uid\r\n\r\nbody\r\n";
  Expect(" UID SEARCH UNSEEN", "* SEARCH 7 4000000000\r\n{tag} OK done\r\n");
  Expect(" UID FETCH 4000000000:4000000000 RFC822",
         "* 2 FETCH (FLAGS (\\Seen))\r\n" + FetchLiteral("* 3 FETCH (UID 4000000000 RFC822", message) + "{tag} OK done\r\n");
  Expect(" UID FETCH 77:77 RFC822", "{tag} OK Fetch completed (0.001 + 0.000 secs).\r\n");
  Expect(" UID SEARCH CHARSET UTF-8 SUBJECT {3}", "+ go ahead\r\n");
  ExpectUntagged("\xE2\x82\xAC", "* SEARCH 4000000000\r\n{tag} OK done\r\n");
  Expect(" UID FETCH 7:7 FLAGS", "* 1 FETCH (UID 7 FLAGS (\\Seen \\Flagged))\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 77", "* SEARCH\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 7", "* SEARCH 7\r\n{tag} OK done\r\n");
  Expect(" UID STORE 7:7 +FLAGS.SILENT (\\Deleted)", "{tag} OK done\r\n");
  StartAndConnect();
  client().use_uids = true;
  EXPECT_EQ(client().uid_validity, 3000000001u);
  EXPECT_EQ(client().uid_next, 4000000000u);
  ASSERT_TRUE(client().Search("UNSEEN")) << client().last_error();
  EXPECT_THAT(client().uid_search_results, ElementsAre(7u, 4000000000u));
  ASSERT_TRUE(client().Retrieve(static_cast<std::int32_t>(4000000000u))) << client().last_error();
  EXPECT_EQ(client().message_text, message);
  EXPECT_FALSE(client().Retrieve(77));
  EXPECT_EQ(client().last_error(), "No message has the UID 77 in the selected mailbox");
  ASSERT_TRUE(client().Search("SUBJECT \xE2\x82\xAC")) << client().last_error();  // beyond ASCII: a literal
  EXPECT_THAT(client().uid_search_results, ElementsAre(4000000000u));
  std::int32_t flags = 0;
  ASSERT_TRUE(client().GetMessageFlags(7, flags)) << client().last_error();
  EXPECT_EQ(flags, 5);
  EXPECT_FALSE(client().DeleteMessage(77));  // nothing is stored
  EXPECT_EQ(client().last_error(), "No message has the UID 77 in the selected mailbox");
  EXPECT_TRUE(client().DeleteMessage(7)) << client().last_error();
  ExpectTranscript();
}

// MOVE where listed; with UIDPLUS alone: COPY, \Deleted and UID EXPUNGE of
// the one message (its UID asked first when it was given by number); with
// neither, a refusal before anything is changed.
TEST_F(MailboxWork, MovingTakesMoveOrTheUidplusRoadAndNeverAPlainExpunge) {
  SignIn("IMAP4rev1 UIDPLUS");
  Select();
  Expect(" FETCH 2:2 (UID)", "* 2 FETCH (UID 41)\r\n{tag} OK done\r\n");
  Expect(" UID COPY 41:41 \"Gesendete Objekte\"", "{tag} OK [COPYUID 9 41 5] done\r\n");
  Expect(" UID STORE 41:41 +FLAGS.SILENT (\\Deleted)", "{tag} OK done\r\n");
  Expect(" UID EXPUNGE 41:41", "* 2 EXPUNGE\r\n{tag} OK done\r\n");
  StartAndConnect();
  ASSERT_TRUE(client().MoveMessage(2, "Gesendete Objekte")) << client().last_error();
  ExpectTranscript();
}

TEST_F(MailboxWork, MovingUsesMoveWhenListedAndRefusesWithoutMoveOrUidplus) {
  SignIn("");  // the client asks
  Select();
  Expect(" CAPABILITY", "* CAPABILITY IMAP4rev1 MOVE\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 41", "* SEARCH 41\r\n{tag} OK done\r\n");
  Expect(" UID MOVE 41:41 Archive", "* OK [COPYUID 9 41 5] moved\r\n* 2 EXPUNGE\r\n{tag} OK done\r\n");
  StartAndConnect();
  client().use_uids = true;
  ASSERT_TRUE(client().MoveMessage(41, "Archive")) << client().last_error();
  ExpectTranscript();
}

TEST_F(MailboxWork, MovingIsRefusedWhenOnlyAPlainExpungeCouldDoIt) {
  SignIn("IMAP4rev1 IDLE");
  Select();
  StartAndConnect();
  EXPECT_FALSE(client().MoveMessage(2, "Archive"));
  EXPECT_THAT(client().last_error(), HasSubstr("neither MOVE nor UIDPLUS"));
  ExpectTranscript();
}

// The role, not the name, finds a mailbox; names come decoded with the
// caller's separator.
TEST_F(MailboxWork, MailboxRolesAreFoundWhateverTheMailboxIsCalled) {
  SignIn();
  Expect(" LIST (SPECIAL-USE) \"\" \"*\"",
         "* LIST (\\HasNoChildren \\Drafts) \"/\" Entw&APw-rfe\r\n"
         "* LIST (\\HasNoChildren \\Sent) \"/\" \"Gesendete Objekte\"\r\n"
         "* LIST (\\HasChildren \\Trash) \"/\" \"Archiv/&AMk-l&AOk-ments supprim&AOk-s\"\r\n{tag} OK done\r\n");
  Expect(" LIST (SPECIAL-USE) \"\" \"*\"", "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n{tag} OK done\r\n");
  StartAndConnect();
  std::string name;
  EXPECT_FALSE(client().FindSpecialMailbox("Outbox", name));  // refused before anything is sent
  EXPECT_EQ(client().last_error(), "Unknown mailbox role \"Outbox\": use Sent, Trash, Junk, Drafts, Archive or All");
  ASSERT_TRUE(client().FindSpecialMailbox("sent", name)) << client().last_error();
  EXPECT_EQ(name, "Gesendete Objekte");
  ASSERT_TRUE(client().FindSpecialMailbox("Junk", name)) << client().last_error();
  EXPECT_EQ(name, "");
  ExpectTranscript();
}

TEST_F(MailboxWork, WithoutListExtendedEveryMailboxIsListed) {
  SignIn("IMAP4rev1 SPECIAL-USE");
  Expect(" LIST \"\" \"*\"",
         "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
         "* LIST (\\HasChildren \\Trash) \"/\" \"Archiv/&AMk-l&AOk-ments supprim&AOk-s\"\r\n{tag} OK done\r\n");
  StartAndConnect();
  std::string name;
  ASSERT_TRUE(client().FindSpecialMailbox("TRASH", name)) << client().last_error();
  EXPECT_EQ(name, "Archiv\\\xC3\x89l\xC3\xA9ments supprim\xC3\xA9s");
  ExpectTranscript();
}

// IDLE: the news ends the wait at once, DONE ends the IDLE, and the
// session goes on; with nothing new the wait ends when its time is up.
TEST_F(MailboxWork, WaitingIdlesUntilNewsOrTheTimeIsUp) {
  SignIn();
  Select();
  Expect(" IDLE", "+ idling\r\n");
  server_.Pause(300).Send("* 4 EXISTS\r\n");
  ExpectUntagged("DONE", "{tag} OK Idle completed.\r\n");
  Expect(" IDLE", "+ idling\r\n* 2 FETCH (FLAGS (\\Seen))\r\n");
  ExpectUntagged("DONE", "{tag} OK Idle completed.\r\n");
  Expect(" NOOP", "{tag} OK done\r\n");
  StartAndConnect();
  bool changed = false;
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client().WaitForChange(20, changed)) << client().last_error();
  EXPECT_TRUE(changed);
  EXPECT_LT(MillisecondsSince(started), 5000);
  EXPECT_EQ(client().message_count, 4);
  started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client().WaitForChange(1, changed)) << client().last_error();
  EXPECT_FALSE(changed);  // a flag change is no new or lost message
  EXPECT_GE(MillisecondsSince(started), 900);
  EXPECT_TRUE(client().ExecuteCommand(ImapCommand::kNoop)) << client().last_error();
  ExpectTranscript();
}

// A long wait ends its IDLE and begins another before the server's
// inactivity limit; a server that then stops answering costs the time-out.
TEST_F(MailboxWork, IdleIsRenewedAndAFrozenServerCostsTheTimeOut) {
  SignIn();
  Select();
  Expect(" IDLE", "+ idling\r\n");
  ExpectUntagged("DONE", "{tag} OK Idle completed.\r\n");
  Expect(" IDLE", "+ idling\r\n");
  ExpectUntagged("DONE", "{tag} OK Idle completed.\r\n");
  Expect(" IDLE", "+ idling\r\n");
  ExpectUntagged("DONE", "");  // no answer
  server_.Pause(3000);
  StartAndConnect(false);
  client().idle_renewal = std::chrono::milliseconds(400);
  client().set_timeout_ms(500);
  bool changed = true;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(client().WaitForChange(30, changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(client().last_error(), "Socket error # 10060");
  EXPECT_LT(MillisecondsSince(started), 2900);
  ExpectTranscript();  // no LOGOUT after the session failed
}

// Without IDLE the mailbox is asked with NOOP; an expunge is a change too,
// and a new message reported during an earlier command counts at once.
TEST_F(MailboxWork, WaitingWithoutIdlePollsWithNoop) {
  SignIn("IMAP4rev1");
  Select();
  Expect(" NOOP", "{tag} OK done\r\n");
  Expect(" NOOP", "* 1 EXPUNGE\r\n{tag} OK done\r\n");
  Expect(" FETCH 1:1 FLAGS", "* 3 EXISTS\r\n* 1 FETCH (FLAGS ())\r\n{tag} OK done\r\n");
  StartAndConnect();
  bool changed = false;
  ASSERT_TRUE(client().WaitForChange(10, changed)) << client().last_error();
  EXPECT_TRUE(changed);
  std::int32_t flags = 0;
  ASSERT_TRUE(client().GetMessageFlags(1, flags));
  ASSERT_TRUE(client().WaitForChange(10, changed)) << client().last_error();
  EXPECT_TRUE(changed);  // without a command: message 3 arrived meanwhile
  EXPECT_EQ(client().message_count, 3);
  ExpectTranscript();
}

// The structure comes first, then the one part, decoded: only that part's
// bytes are fetched, and the message is not marked seen (BODY.PEEK).
TEST_F(MailboxWork, OnePartIsFetchedAloneAndDecoded) {
  SignIn();
  Select();
  Expect(" UID FETCH 9:9 (UID BODYSTRUCTURE)",
         "* 1 FETCH (UID 9 BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL \"quoted-printable\" 12 1 NIL NIL NIL NIL)"
         "(\"application\" \"pdf\" (\"name\" \"r.pdf\") NIL NIL \"base64\" 8 NIL (\"attachment\" (\"filename\" \"r.pdf\")) NIL NIL) "
         "\"mixed\" (\"boundary\" \"b\") NIL NIL NIL))\r\n{tag} OK done\r\n");
  Expect(" UID FETCH 9:9 (UID BODY.PEEK[2])", FetchLiteral("* 1 FETCH (UID 9 BODY[2]", "JVBERi0=") + "{tag} OK done\r\n");
  Expect(" UID FETCH 9:9 (UID BODY.PEEK[1])",
         FetchLiteral("* 1 FETCH (UID 9 BODY[1]", "gr=C3=BC=C3=9F\r\nzwei") + "{tag} OK done\r\n");
  StartAndConnect();
  client().use_uids = true;
  std::string content;
  ImapBodyPart part;
  EXPECT_FALSE(client().FetchPart(9, "2]\r\nX", content, part));  // refused before anything is sent
  ASSERT_TRUE(client().FetchPart(9, "2", content, part)) << client().last_error();
  EXPECT_EQ(content, "%PDF-");
  EXPECT_EQ(part.file_name, "r.pdf");
  ASSERT_TRUE(client().FetchPart(9, "1", content, part)) << client().last_error();
  EXPECT_EQ(content, "gr\xC3\xBC\xC3\x9F\nzwei\n");
  EXPECT_FALSE(client().FetchPart(9, "3", content, part));
  EXPECT_EQ(client().last_error(), "The message has no part \"3\"");
  ExpectTranscript();
}

}  // namespace
}  // namespace vesk
