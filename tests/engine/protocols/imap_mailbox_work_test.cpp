// Dialogues of the members a script uses to work through a mailbox: UIDs,
// moving, mailbox roles, waiting for news, parts on demand; and POP3 UIDL.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::FakeServer;
using testing::MillisecondsSince;

constexpr char kAfterLogin[] = "IMAP4rev1 LITERAL+ IDLE MOVE UIDPLUS SPECIAL-USE LIST-EXTENDED";

class MailboxWork : public ::testing::Test {
 protected:
  MailboxWork() : client_(std::make_unique<ImapClient>()), prefix_(client_->tag_prefix()) {
    client_->set_host("127.0.0.1");
    client_->set_port(server_.port());
    client_->set_timeout_ms(2000);
  }

  ImapClient& client() { return *client_; }

  // The server expects the next tag and `command`, then sends `reply`, in
  // which "{tag}" stands for that tag.
  MailboxWork& Expect(const std::string& command, std::string reply) {
    const std::string tag = prefix_ + std::to_string(next_tag_++);
    for (size_t at; (at = reply.find("{tag}")) != std::string::npos;) reply.replace(at, 5, tag);
    server_.ExpectLine(tag + command).Send(reply);
    sent_.push_back(tag + command);
    return *this;
  }
  // A line the client sends without a tag (DONE); "{tag}" in the reply
  // stands for the tag of the command before.
  MailboxWork& ExpectUntagged(const std::string& line, std::string reply) {
    const std::string tag = prefix_ + std::to_string(next_tag_ - 1);
    for (size_t at; (at = reply.find("{tag}")) != std::string::npos;) reply.replace(at, 5, tag);
    server_.ExpectLine(line).Send(reply);
    sent_.push_back(line);
    return *this;
  }
  // Signs in; the tagged reply to LOGIN lists `capabilities` (none: the
  // client must ask), then SELECT with the given answer lines.
  void SignIn(const std::string& capabilities = kAfterLogin) {
    server_.Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n");
    Expect(" LOGIN user lemonade",
           capabilities.empty() ? "{tag} OK Logged in\r\n" : "{tag} OK [CAPABILITY " + capabilities + "] Logged in\r\n");
    Expect(" LIST \"\" \"\"", "* LIST (\\Noselect) \"/\" \"\"\r\n{tag} OK done\r\n");
  }
  void Select(const std::string& answer = "* 3 EXISTS\r\n* OK [UIDVALIDITY 3000000001] UIDs valid\r\n"
                                          "* OK [UIDNEXT 4000000000] Predicted next UID\r\n") {
    Expect(" SELECT INBOX", answer + "{tag} OK [READ-WRITE] Select completed\r\n");
    selects_ = true;
  }
  void Start(bool logout = true) {
    if (logout) Expect(" LOGOUT", "* BYE bye\r\n{tag} OK done\r\n");
    server_.Start();
    ASSERT_TRUE(client().Connect()) << client().last_error();
    if (selects_) ASSERT_TRUE(client().SelectMailbox(false)) << client().last_error();
  }
  void ExpectTranscript() {
    client_.reset();
    server_.Finish();
    EXPECT_THAT(server_.Problems(), IsEmpty());
    EXPECT_THAT(server_.ReceivedLines(), ElementsAreArray(sent_));
  }

  FakeServer server_;
  std::unique_ptr<ImapClient> client_;
  const std::string prefix_;
  int next_tag_ = 0;
  bool selects_ = false;
  std::vector<std::string> sent_;
};

std::string FetchLiteral(const std::string& head, const std::string& literal, const std::string& tail = ")") {
  return head + " {" + std::to_string(literal.size()) + "}\r\n" + literal + tail + "\r\n";
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
  server_.ExpectLine("\xE2\x82\xAC").Send("* SEARCH 4000000000\r\n" + prefix_ + std::to_string(next_tag_ - 1) + " OK done\r\n");
  sent_.push_back("\xE2\x82\xAC");
  Expect(" UID FETCH 7:7 FLAGS", "* 1 FETCH (UID 7 FLAGS (\\Seen \\Flagged))\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 77", "* SEARCH\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 7", "* SEARCH 7\r\n{tag} OK done\r\n");
  Expect(" UID STORE 7:7 +FLAGS.SILENT (\\Deleted)", "{tag} OK done\r\n");
  Start();
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
  Start();
  ASSERT_TRUE(client().MoveMessage(2, "Gesendete Objekte")) << client().last_error();
  ExpectTranscript();
}

TEST_F(MailboxWork, MovingUsesMoveWhenListedAndRefusesWithoutMoveOrUidplus) {
  SignIn("");  // the client asks
  Select();
  Expect(" CAPABILITY", "* CAPABILITY IMAP4rev1 MOVE\r\n{tag} OK done\r\n");
  Expect(" UID SEARCH UID 41", "* SEARCH 41\r\n{tag} OK done\r\n");
  Expect(" UID MOVE 41:41 Archive", "* OK [COPYUID 9 41 5] moved\r\n* 2 EXPUNGE\r\n{tag} OK done\r\n");
  Start();
  client().use_uids = true;
  ASSERT_TRUE(client().MoveMessage(41, "Archive")) << client().last_error();
  ExpectTranscript();
}

TEST_F(MailboxWork, MovingIsRefusedWhenOnlyAPlainExpungeCouldDoIt) {
  SignIn("IMAP4rev1 IDLE");
  Select();
  Start();
  EXPECT_FALSE(client().MoveMessage(2, "Archive"));
  EXPECT_THAT(client().last_error(), ::testing::HasSubstr("neither MOVE nor UIDPLUS"));
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
  Start();
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
  Start();
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
  Start();
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
  Start(false);
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
  Start();
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
  Start();
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

// POP3 UIDL: one message's identifier, and the number of the message with
// an identifier, 0 when no message has it.
TEST(Pop3Uidl, IdentifiersAreAskedAndFound) {
  FakeServer server;
  const std::vector<testing::Exchange> script = {
      {{}, "+OK ready\r\n"},
      {{"USER user"}, "+OK\r\n"},
      {{"PASS pass"}, "+OK\r\n"},
      {{"STAT"}, "+OK 3 300\r\n"},
      {{"UIDL 2"}, "+OK 2 00000002584a1b2c\r\n"},
      {{"UIDL 9"}, "-ERR no such message\r\n"},
      {{"UIDL"}, "+OK\r\n1 00000001584a1b2c\r\n3 00000003584a1b2c\r\n.\r\n"},
      {{"UIDL"}, "+OK\r\n1 00000001584a1b2c\r\n3 00000003584a1b2c\r\n.\r\n"},
      {{"QUIT"}, "+OK bye\r\n"},
  };
  testing::ScriptDialogue(server, script);
  server.Start();
  Pop3Client client;
  client.set_host("127.0.0.1");
  client.set_port(server.port());
  client.set_user("user");
  client.set_password("pass");
  ASSERT_TRUE(client.Connect()) << client.last_error();
  std::string uid;
  ASSERT_TRUE(client.GetMessageUid(2, uid)) << client.last_error();
  EXPECT_EQ(uid, "00000002584a1b2c");
  EXPECT_FALSE(client.GetMessageUid(9, uid));
  EXPECT_EQ(client.last_error(), "Error occurred during UIDL");
  std::int16_t number = -1;
  ASSERT_TRUE(client.FindMessageByUid("00000003584a1b2c", number));
  EXPECT_EQ(number, 3);
  ASSERT_TRUE(client.FindMessageByUid("00000002584a1b2c", number));  // deleted meanwhile
  EXPECT_EQ(number, 0);
  ASSERT_TRUE(client.FindMessageByUid("x\r\nDELE 1", number));  // nothing is sent
  EXPECT_EQ(number, 0);
  EXPECT_TRUE(client.Disconnect());
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
}

}  // namespace
}  // namespace vesk
