#include "engine/protocols/imap_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/messages.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::FakeServer;

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
  ImapDialogue& Expect(const std::string& command, std::string reply) {
    const std::string tag = Tag(next_tag_++);
    for (size_t at; (at = reply.find("{tag}")) != std::string::npos;) reply.replace(at, 5, tag);
    server_.ExpectLine(tag + command).Send(reply);
    sent_.push_back(tag + command);
    return *this;
  }
  // Greeting, LOGIN and the root LIST (tags 0 and 1), then the test's steps,
  // then the LOGOUT that Disconnect or the destructor sends.
  void Connect(const std::string& delimiter = ".") {
    server_.Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] Dovecot ready.\r\n");
    Expect(" LOGIN user lemonade", "{tag} OK [CAPABILITY IMAP4rev1] Logged in\r\n");
    Expect(" LIST \"\" \"\"", "* LIST (\\Noselect) \"" + delimiter + "\" \"\"\r\n{tag} OK List completed.\r\n");
  }
  void StartAndConnect(bool logout = true) {
    if (logout) Expect(" LOGOUT", "* BYE Logging out\r\n{tag} OK Logout completed.\r\n");
    server_.Start();
    ASSERT_TRUE(client().Connect()) << client().last_error();
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
  std::vector<std::string> sent_;
};

// "* n FETCH (item {size}" CR LF, the literal, then what closes the response.
std::string FetchLiteral(int number, const std::string& item, const std::string& literal) {
  return "* " + std::to_string(number) + " FETCH (" + item + " {" + std::to_string(literal.size()) + "}\r\n" +
         literal + ")\r\n";
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

INSTANTIATE_TEST_SUITE_P(ImapClient, ImapCommands, ::testing::ValuesIn(CommandCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A line of the message that starts with the tag is part of the literal, and
// the stream stays in step for the next command.
TEST_F(ImapDialogue, MessageTextIsExactlyTheLiteral) {
  const std::string message = "Subject: test\r\n\r\n" + std::string(3000, 'x') + "\r\n(parentheses)\r\n" + Tag(2) +
                              " OK this line is part of the message\r\n" + Tag(2) + " NO nor this\r\nno line end";
  Connect();
  Expect(" FETCH 1:1 RFC822", FetchLiteral(1, "FLAGS (\\Seen) RFC822", message) + "{tag} OK Fetch completed.\r\n");
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
  const std::string tag = Tag(2);
  server_.ExpectLine(tag + " SEARCH CHARSET UTF-8 SUBJECT {7}").Send("+ go ahead\r\n");
  server_.ExpectLine("Gr\xC3\xBC\xC3\x9F" "e FROM \"a b\" BODY {5}").Send("+ go ahead\r\n");
  server_.ExpectLine("K\xC3\xB6ln)").Send("* SEARCH 2 7\r\n" + tag + " OK done\r\n");
  sent_.insert(sent_.end(), {tag + " SEARCH CHARSET UTF-8 SUBJECT {7}", "Gr\xC3\xBC\xC3\x9F" "e FROM \"a b\" BODY {5}",
                             "K\xC3\xB6ln)"});
  next_tag_ = 3;
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
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error(), "Server cannot be connected");
  EXPECT_TRUE(client().logged_in());
  ASSERT_TRUE(client().Disconnect()) << client().last_error();
  EXPECT_FALSE(client().logged_in());
  EXPECT_FALSE(client().SelectMailbox(false));
  EXPECT_EQ(client().last_error(), FormatMessageText(kMsgConnectionEnded, 10057));
  ExpectTranscript();
}

}  // namespace
}  // namespace vesk
