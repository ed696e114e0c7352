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

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using testing::FakeServer;

// A client talking to a scripted server. Tags are known before the script is
// written: the prefix is made when the client is, and the counter starts at 0.
class ImapDialogue : public ::testing::Test {
 protected:
  ImapDialogue() : client_(std::make_unique<ImapClient>()), prefix_(client_->tag_prefix()) {
    client_->host = "127.0.0.1";
    client_->port = server_.port();
    client_->timeout_ms = 2000;
  }

  ImapClient& client() { return *client_; }
  std::string Tag(int counter) const { return prefix_ + std::to_string(counter); }

  // Greeting, LOGIN and the root LIST: tags 0 and 1.
  void ScriptConnect(const std::string& delimiter = ".") {
    server_.Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] Dovecot ready.\r\n")
        .ExpectLine(Tag(0) + " LOGIN user lemonade")
        .Send(Tag(0) + " OK [CAPABILITY IMAP4rev1] Logged in\r\n")
        .ExpectLine(Tag(1) + " LIST \"\" \"\"")
        .Send("* LIST (\\Noselect) \"" + delimiter + "\" \"\"\r\n" + Tag(1) +
              " OK List completed (0.001 + 0.000 secs).\r\n");
  }
  // The reply to the LOGOUT that Disconnect or the destructor sends.
  void ScriptLogout(int tag) {
    server_.ExpectLine(Tag(tag) + " LOGOUT")
        .Send("* BYE Logging out\r\n" + Tag(tag) + " OK Logout completed (0.001 + 0.000 secs).\r\n");
  }
  void StartAndConnect() {
    server_.Start();
    ASSERT_TRUE(client().Connect()) << client().last_error;
  }

  // Releases the client (which may log out) and returns every line it sent.
  std::vector<std::string> Transcript() {
    client_.reset();
    server_.Finish();
    EXPECT_THAT(server_.Problems(), IsEmpty());
    return server_.ReceivedLines();
  }

  // The lines of a connected session that come before the test's own.
  std::vector<std::string> ConnectLines() const {
    return {Tag(0) + " LOGIN user lemonade", Tag(1) + " LIST \"\" \"\""};
  }
  std::vector<std::string> Lines(std::vector<std::string> own) const {
    std::vector<std::string> lines = ConnectLines();
    lines.insert(lines.end(), own.begin(), own.end());
    return lines;
  }

  FakeServer server_;
  std::unique_ptr<ImapClient> client_;
  const std::string prefix_;
};

// "* n FETCH (item {size}" CR LF, the literal, then what closes the response.
std::string FetchLiteral(int number, const std::string& item, const std::string& literal,
                         const std::string& after = ")\r\n") {
  return "* " + std::to_string(number) + " FETCH (" + item + " {" + std::to_string(literal.size()) +
         "}\r\n" + literal + after;
}

// ---- The object as created ------------------------------------------------

TEST(ImapClientObject, StartsWithTheDocumentedSettings) {
  ImapClient client;
  EXPECT_EQ(client.port, 143);
  EXPECT_EQ(client.timeout_ms, 5000);
  EXPECT_EQ(client.host, "localhost");
  EXPECT_EQ(client.user, "user");
  EXPECT_EQ(client.password, "lemonade");
  EXPECT_EQ(client.mailbox_name, "INBOX");
  EXPECT_EQ(client.message_count + client.recent_count + client.first_unseen, 0);
  EXPECT_EQ(client.last_error, "Unknown error");
  EXPECT_EQ(client.current_tag(), "");
  EXPECT_FALSE(client.logged_in());
}

TEST(ImapClientObject, TagPrefixesAreABracketEighteenHexDigitsAndAPeriodAndDifferPerObject) {
  ImapClient first;
  ImapClient second;
  EXPECT_THAT(first.tag_prefix(), MatchesRegex("\\[[0-9A-F]{18}\\."));
  EXPECT_EQ(first.tag_prefix().size(), 20u);
  EXPECT_NE(first.tag_prefix(), second.tag_prefix());
}

TEST(ImapClientObject, MailboxNameIsStoredWithTheDelimiterKnownWhenWritten) {
  ImapClient client;
  client.SetMailboxNameFromClient("INBOX\\Work");
  EXPECT_EQ(client.mailbox_name, "INBOX.Work");
  client.hierarchy_delimiter = "/";
  EXPECT_EQ(client.MailboxNameForClient(), "INBOX.Work");  // not mapped again
  client.SetMailboxNameFromClient("INBOX\\Home");
  EXPECT_EQ(client.mailbox_name, "INBOX/Home");
  EXPECT_EQ(client.MailboxNameForClient(), "INBOX\\Home");
}

TEST(ImapClientObject, CommandsBeforeConnectFailWithASocketError) {
  ImapClient client;
  EXPECT_FALSE(client.SelectMailbox(false));
  EXPECT_THAT(client.last_error, StartsWith("Socket error # "));
  EXPECT_FALSE(client.logged_in());
}

// ---- Connecting, tags and completion ----------------------------------------

TEST_F(ImapDialogue, ConnectLogsInReadsTheDelimiterAndTagsCountFromZero) {
  ScriptConnect("/");
  ScriptLogout(2);
  StartAndConnect();
  EXPECT_EQ(client().hierarchy_delimiter, "/");
  EXPECT_THAT(client().mailbox_list, IsEmpty());
  EXPECT_TRUE(client().logged_in());
  EXPECT_EQ(client().current_tag(), Tag(1));
  ASSERT_TRUE(client().Disconnect()) << client().last_error;
  EXPECT_FALSE(client().logged_in());
  // Released after Disconnect: no second LOGOUT.
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " LOGOUT"})));
}

// Dovecot refuses a tag that holds "]" with an untagged BAD and never answers
// the command itself; every tag the client sends is free of it.
TEST_F(ImapDialogue, TagsHoldNoClosingBracketThatStrictServersRefuse) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " SELECT INBOX")
      .Send("* 0 EXISTS\r\n" + Tag(2) + " OK [READ-WRITE] Select completed (0.001 + 0.000 secs).\r\n");
  ScriptLogout(3);
  StartAndConnect();
  ASSERT_TRUE(client().SelectMailbox(false)) << client().last_error;
  const std::vector<std::string> lines = Transcript();
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    const std::string tag = line.substr(0, line.find(' '));
    EXPECT_THAT(tag, MatchesRegex("\\[[0-9A-F]{18}\\.[0-9]+")) << line;
    EXPECT_EQ(tag.find(']'), std::string::npos) << line;
  }
}

TEST_F(ImapDialogue, ReleasingALoggedInClientLogsOut) {
  ScriptConnect();
  ScriptLogout(2);
  StartAndConnect();
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " LOGOUT"})));
}

// The LOGOUT sent on release waits at most half a second for its reply; this
// test checks that it is sent all the same.
TEST_F(ImapDialogue, ReleasingWhileTheServerIsSilentStillSendsLogout) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " LOGOUT");
  StartAndConnect();
  client().timeout_ms = 5000;
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " LOGOUT"})));
}

TEST_F(ImapDialogue, AFailedLoginIsNeitherLoggedInNorLoggedOut) {
  server_.Send("* OK ready\r\n")
      .ExpectLine(Tag(0) + " LOGIN user lemonade")
      .Send(Tag(0) + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
  server_.Start();
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error, "[AUTHENTICATIONFAILED] Authentication failed.");
  EXPECT_FALSE(client().logged_in());
  EXPECT_THAT(Transcript(), ElementsAre(Tag(0) + " LOGIN user lemonade"));
}

TEST_F(ImapDialogue, AGreetingOtherThanOkFailsWithoutANewDescription) {
  server_.Send("* BYE Too many connections\r\n");
  server_.Start();
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error, "Unknown error");
  EXPECT_THAT(Transcript(), IsEmpty());
}

TEST_F(ImapDialogue, TheGreetingIsComparedWithoutRegardToCase) {
  server_.Send("* ok hello\r\n")
      .ExpectLine(Tag(0) + " LOGIN user lemonade")
      .Send(Tag(0) + " OK in\r\n")
      .ExpectLine(Tag(1) + " LIST \"\" \"\"")
      .Send(Tag(1) + " OK done\r\n");
  ScriptLogout(2);
  StartAndConnect();
  EXPECT_EQ(client().hierarchy_delimiter, ".");  // no root line: unchanged
}

TEST(ImapClientConnect, AnUnreachableServerCannotBeConnected) {
  ImapClient client;
  client.host = "127.0.0.1";
  client.port = testing::UnusedLoopbackPort();
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.last_error, "Server cannot be connected");
}

TEST_F(ImapDialogue, ConnectAfterDisconnectCannotBeConnected) {
  ScriptConnect();
  ScriptLogout(2);
  StartAndConnect();
  ASSERT_TRUE(client().Disconnect());
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error, "Server cannot be connected");
}

// Dovecot, after deleting the selected mailbox, answers OK and then says BYE
// and closes. The next command reads the BYE and fails with its text at once
// (not with the time-out), and releasing the client sends no LOGOUT.
TEST_F(ImapDialogue, AnUntaggedByeEndsTheCommandWithTheServersText) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " DELETE Work")
      .Send(Tag(2) + " OK Delete completed (0.003 + 0.000 + 0.002 secs).\r\n"
                     "* BYE Selected mailbox was deleted, have to disconnect.\r\n")
      .ExpectLine(Tag(3) + " DELETE Old")
      .Close();
  StartAndConnect();
  client().timeout_ms = 10000;  // the time-out would give another text
  ASSERT_TRUE(client().DeleteMailbox("Work")) << client().last_error;
  EXPECT_TRUE(client().logged_in());
  EXPECT_FALSE(client().DeleteMailbox("Old"));
  EXPECT_EQ(client().last_error, "Selected mailbox was deleted, have to disconnect.");
  EXPECT_FALSE(client().logged_in());
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " DELETE Work", Tag(3) + " DELETE Old"})));
}

TEST_F(ImapDialogue, AByeBeforeTheGoAheadOfAnAppendSendsNoMessage) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " APPEND INBOX {17}")
      .Send("* BYE Server shutting down.\r\n")
      .Close();
  StartAndConnect();
  client().timeout_ms = 10000;
  EXPECT_FALSE(client().AppendMessage("INBOX", "Subject: x\r\n\r\nx\r\n"));
  EXPECT_EQ(client().last_error, "Server shutting down.");
  EXPECT_FALSE(client().logged_in());
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " APPEND INBOX {17}"})));
}

TEST_F(ImapDialogue, NoWithAResponseCodeAndBadGiveTheServersText) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " COPY 3:3 Archive")
      .Send(Tag(2) + " NO [TRYCREATE] Mailbox doesn't exist: Archive\r\n")
      .ExpectLine(Tag(3) + " EXPUNGE")
      .Send(Tag(3) + " BAD Error in IMAP command EXPUNGE: No mailbox selected\r\n");
  ScriptLogout(4);
  StartAndConnect();
  EXPECT_FALSE(client().CopyMessage(3, "Archive"));
  EXPECT_EQ(client().last_error, "[TRYCREATE] Mailbox doesn't exist: Archive");
  EXPECT_FALSE(client().Expunge());
  EXPECT_EQ(client().last_error, " Error in IMAP command EXPUNGE: No mailbox selected");
}

TEST_F(ImapDialogue, UntaggedLinesDuringACopyDoNotDisturbTheOutcome) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " COPY 3:3 INBOX.Archive.2026")
      .Send("* 24 EXISTS\r\n* 1 RECENT\r\n" + Tag(2) + " OK [COPYUID 1 3 9] Copy completed (0.002 + 0.000 secs).\r\n");
  ScriptLogout(3);
  StartAndConnect();
  EXPECT_TRUE(client().CopyMessage(3, "INBOX\\Archive\\2026")) << client().last_error;
  EXPECT_THAT(client().responses(), ::testing::SizeIs(2));
  EXPECT_EQ(client().last_error, "Unknown error");
}

TEST_F(ImapDialogue, ASilentServerGivesTheTimeOutError) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " EXPUNGE").Pause(400).Send(Tag(2) + " OK late\r\n");
  ScriptLogout(3);
  StartAndConnect();
  client().timeout_ms = 100;
  EXPECT_FALSE(client().Expunge());
  EXPECT_EQ(client().last_error, "Socket error # 10060");
}

// ---- Mailboxes ----------------------------------------------------------------

TEST_F(ImapDialogue, MailboxNamesAreMappedAndQuotedWhenTheyAreNoAtoms) {
  ScriptConnect("/");
  const std::vector<std::string> sent = {" CREATE Work/2026", " CREATE \"My Box\"",
                                         " DELETE \"say \\\"hi\\\"\"", " RENAME \"a\\\\b\" \"\"",
                                         " SELECT Work/Home"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const int tag = static_cast<int>(i) + 2;
    server_.ExpectLine(Tag(tag) + sent[i]).Send(Tag(tag) + " OK done\r\n");
  }
  ScriptLogout(7);
  StartAndConnect();
  EXPECT_TRUE(client().CreateMailbox("Work\\2026"));
  EXPECT_TRUE(client().CreateMailbox("My Box"));
  EXPECT_TRUE(client().DeleteMailbox("say \"hi\""));
  client().client_separator = "|";  // so that the backslash stays a backslash
  EXPECT_TRUE(client().RenameMailbox("a\\b", ""));
  client().client_separator = "\\";
  client().SetMailboxNameFromClient("Work\\Home");
  EXPECT_TRUE(client().SelectMailbox(false));
}

TEST_F(ImapDialogue, MailboxListInClientFormWithDovecotShapes) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " LIST INBOX. \"*\"")
      .Send("* LIST (\\HasNoChildren) \".\" INBOX.Work\r\n"
            "* LIST (\\HasChildren \\Marked) \".\" \"INBOX.My Box\"\r\n"
            "* LIST (\\HasNoChildren) \".\" {14}\r\nINBOX.My\"Quote\r\n" +
            Tag(2) + " OK List completed (0.001 + 0.000 secs).\r\n");
  ScriptLogout(3);
  StartAndConnect();
  ASSERT_TRUE(client().GetMailboxesList()) << client().last_error;
  EXPECT_THAT(client().mailbox_list, ElementsAre("INBOX\\Work", "INBOX\\My Box", "INBOX\\My\"Quote"));
}

TEST_F(ImapDialogue, CountersAcrossSelectAndExamine) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " SELECT INBOX")
      .Send("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)\r\n"
            "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\*)] Flags permitted.\r\n"
            "* 23 EXISTS\r\n* 2 RECENT\r\n* OK [UNSEEN 17] First unseen.\r\n"
            "* OK [UIDVALIDITY 1733000000] UIDs valid\r\n" +
            Tag(2) + " OK [READ-WRITE] Select completed (0.001 + 0.000 secs).\r\n")
      .ExpectLine(Tag(3) + " EXAMINE Archive")
      .Send("* 4 EXISTS\r\n* 0 RECENT\r\n" + Tag(3) + " OK [READ-ONLY] Examine completed.\r\n");
  ScriptLogout(4);
  StartAndConnect();
  ASSERT_TRUE(client().SelectMailbox(false));
  EXPECT_EQ(client().message_count, 23);
  EXPECT_EQ(client().recent_count, 2);
  EXPECT_EQ(client().first_unseen, 17);
  client().SetMailboxNameFromClient("Archive");
  ASSERT_TRUE(client().SelectMailbox(true));
  EXPECT_EQ(client().message_count, 4);
  EXPECT_EQ(client().recent_count, 0);
  EXPECT_EQ(client().first_unseen, 17);
}

TEST_F(ImapDialogue, StatusSetsMessagesAndRecentButNotFirstUnseen) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " STATUS INBOX (MESSAGES RECENT UNSEEN)")
      .Send("* STATUS INBOX (MESSAGES 231 RECENT 1 UNSEEN 5)\r\n" + Tag(2) + " OK Status completed.\r\n");
  ScriptLogout(3);
  StartAndConnect();
  client().first_unseen = 9;
  ASSERT_TRUE(client().UpdateStatus());
  EXPECT_EQ(client().message_count, 231);
  EXPECT_EQ(client().recent_count, 1);
  EXPECT_EQ(client().first_unseen, 9);
}

// ---- Searches -------------------------------------------------------------------

TEST_F(ImapDialogue, SearchesByCriteriaFlagsAndDates) {
  struct Step {
    std::function<bool(ImapClient&)> call;
    std::string sent;    // after the tag
    std::string answer;  // untagged lines
    std::vector<std::int32_t> results;
  };
  const std::vector<Step> steps = {
      {[](ImapClient& c) { return c.Search("FROM \"smith\" SINCE 1-Feb-2026"); },
       " SEARCH FROM \"smith\" SINCE 1-Feb-2026", "* SEARCH 2 84 882\r\n", {2, 84, 882}},
      // Dovecot's answer when nothing matches is a bare SEARCH.
      {[](ImapClient& c) { return c.SearchByFlags(kImapFlagSeen | kImapFlagFlagged); },
       " SEARCH SEEN UNANSWERED FLAGGED UNDELETED UNDRAFT", "* SEARCH\r\n", {}},
      {[](ImapClient& c) { return c.SearchByFlags(kImapFlagRecent); },
       " SEARCH UNSEEN UNANSWERED UNFLAGGED UNDELETED UNDRAFT", "* 5 EXISTS\r\n* SEARCH 4\r\n", {4}},
      {[](ImapClient& c) { return c.SearchSentOn(2002, 3, 7); }, " SEARCH SENTON 07-Mar-2002",
       "* SEARCH 1\r\n", {1}},
      {[](ImapClient& c) { return c.SearchSentBefore(2003, 1, 1); }, " SEARCH SENTBEFORE 01-Jan-2003", "", {}},
      {[](ImapClient& c) { return c.SearchSentSince(1999, 12, 31); }, " SEARCH SENTSINCE 31-Dec-1999",
       "* SEARCH 3 5\r\n", {3, 5}},
  };
  ScriptConnect();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const int tag = static_cast<int>(i) + 2;
    // Dovecot's tagged lines end with a timing note that changes every time.
    server_.ExpectLine(Tag(tag) + steps[i].sent)
        .Send(steps[i].answer + Tag(tag) + " OK Search completed (0.00" + std::to_string(i) + " + 0.000 secs).\r\n");
  }
  ScriptLogout(static_cast<int>(steps.size()) + 2);
  StartAndConnect();
  for (const Step& step : steps) {
    ASSERT_TRUE(step.call(client())) << step.sent << ": " << client().last_error;
    EXPECT_EQ(client().search_results, step.results) << step.sent;
  }
}

TEST_F(ImapDialogue, ALongSearchAnswerIsReadWholeUpToTheLimit) {
  std::string numbers;
  std::vector<std::int32_t> expected;
  for (int n = 1; n <= 3000; ++n) {
    numbers += " " + std::to_string(n);
    expected.push_back(n);
  }
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " SEARCH ALL")
      .Send("* SEARCH" + numbers + "\r\n" + Tag(2) + " OK done\r\n")
      .ExpectLine(Tag(3) + " SEARCH ALL")
      .Send("* SEARCH" + numbers + "\r\n" + Tag(3) + " OK done\r\n");
  ScriptLogout(4);
  StartAndConnect();
  ASSERT_TRUE(client().Search("ALL")) << client().last_error;
  EXPECT_EQ(client().search_results, expected);
  client().max_line_bytes = 1000;
  EXPECT_FALSE(client().Search("ALL"));
  EXPECT_EQ(client().last_error, "Server response line longer than 1000 bytes");
  EXPECT_THAT(client().search_results, ElementsAreArray(expected));  // unchanged
}

// ---- Flags and sizes ------------------------------------------------------------

TEST_F(ImapDialogue, FlagsAreReadAndRejectedNumbersGiveZero) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 4:4 FLAGS")
      .Send("* 4 FETCH (FLAGS (\\Seen \\Answered $Label))\r\n" + Tag(2) + " OK Fetch completed.\r\n")
      .ExpectLine(Tag(3) + " FETCH 99:99 FLAGS")
      .Send(Tag(3) + " BAD Error in IMAP command FETCH: Invalid messageset\r\n");
  ScriptLogout(4);
  StartAndConnect();
  std::int32_t flags = -1;
  ASSERT_TRUE(client().GetMessageFlags(4, flags));
  EXPECT_EQ(flags, 3);
  EXPECT_EQ(client().last_flags, 3);
  EXPECT_FALSE(client().GetMessageFlags(99, flags));
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(client().last_error, " Error in IMAP command FETCH: Invalid messageset");
}

TEST_F(ImapDialogue, PutFlagsRemovesThenAddsAndDeleteAddsDeleted) {
  ScriptConnect();
  const std::vector<std::string> sent = {
      " STORE 4:4 -FLAGS.SILENT (\\Seen \\Answered \\Flagged \\Deleted \\Draft)",
      " STORE 4:4 +FLAGS.SILENT ()",
      " STORE 6:6 -FLAGS.SILENT (\\Answered \\Deleted \\Draft)",
      " STORE 6:6 +FLAGS.SILENT (\\Seen \\Flagged)",
      " STORE 7:7 +FLAGS.SILENT (\\Deleted)",
      " STORE 8:8 -FLAGS.SILENT (\\Answered \\Flagged \\Deleted \\Draft)",
  };
  std::vector<std::string> own;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const int tag = static_cast<int>(i) + 2;
    const bool last = i + 1 == sent.size();
    server_.ExpectLine(Tag(tag) + sent[i]).Send(Tag(tag) + (last ? " NO Message 8 expunged\r\n" : " OK Store completed.\r\n"));
    own.push_back(Tag(tag) + sent[i]);
  }
  ScriptLogout(8);
  own.push_back(Tag(8) + " LOGOUT");
  StartAndConnect();
  EXPECT_TRUE(client().PutMessageFlags(4, 0));
  EXPECT_TRUE(client().PutMessageFlags(6, kImapFlagSeen | kImapFlagFlagged | kImapFlagRecent));
  EXPECT_TRUE(client().DeleteMessage(7));
  EXPECT_FALSE(client().PutMessageFlags(8, kImapFlagSeen));  // the add is not sent
  EXPECT_EQ(client().last_error, "Message 8 expunged");
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines(own)));
}

TEST_F(ImapDialogue, SizeFromTheFetchOfThatMessage) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 3:3 RFC822.SIZE")
      .Send("* 1 FETCH (FLAGS (\\Deleted))\r\n* 3 FETCH (RFC822.SIZE 4711)\r\n" + Tag(2) + " OK Fetch completed.\r\n");
  ScriptLogout(3);
  StartAndConnect();
  ASSERT_TRUE(client().GetMessageSize(3));
  EXPECT_EQ(client().last_size, 4711);
}

// ---- Fetched text -----------------------------------------------------------------

TEST_F(ImapDialogue, MessageTextIsExactlyTheLiteral) {
  const std::string longest_line(3000, 'x');
  const std::string message = "Subject: test\r\n\r\n" + longest_line + "\r\n(a line with parentheses)\r\n";
  const std::string no_final_line_end = "Subject: short\r\n\r\nlast line";
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 1:1 RFC822")
      // Dovecot marks the message seen and puts FLAGS before the literal.
      .Send(FetchLiteral(1, "FLAGS (\\Seen) RFC822", message) + Tag(2) + " OK Fetch completed (0.003 + 0.000 secs).\r\n")
      .ExpectLine(Tag(3) + " FETCH 2:2 RFC822")
      .Send(FetchLiteral(2, "RFC822", no_final_line_end, ")\r\n") + Tag(3) + " OK Fetch completed (0.001 + 0.000 secs).\r\n");
  ScriptLogout(4);
  StartAndConnect();
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, message);
  ASSERT_TRUE(client().Retrieve(2)) << client().last_error;
  EXPECT_EQ(client().message_text, no_final_line_end);
}

TEST_F(ImapDialogue, AMessageLineStartingWithTheTagIsNotTheTaggedReply) {
  ScriptConnect();
  std::string message;
  server_.ExpectLine(Tag(2) + " FETCH 1:1 RFC822");
  message = "Subject: trap\r\n\r\n" + Tag(2) + " OK this line is part of the message\r\n" + Tag(2) + " NO nor this\r\n";
  server_.Send(FetchLiteral(1, "RFC822", message) + Tag(2) + " OK Fetch completed.\r\n")
      .ExpectLine(Tag(3) + " EXPUNGE")
      .Send(Tag(3) + " OK Expunge completed.\r\n");
  ScriptLogout(4);
  StartAndConnect();
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, message);
  EXPECT_TRUE(client().Expunge());  // the stream is still in step
}

TEST_F(ImapDialogue, RetrieveTopJoinsTheHeaderAndThePartialText) {
  const std::string header = "From: a@example.org\r\nSubject: top\r\n\r\n";
  const std::string part = std::string(100, 'b');
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 5:5 RFC822.HEADER")
      .Send(FetchLiteral(5, "RFC822.HEADER", header) + Tag(2) + " OK Fetch completed.\r\n")
      .ExpectLine(Tag(3) + " FETCH 5:5 BODY[TEXT]<0.100>")
      // Dovecot answers a partial fetch with the origin only.
      .Send(FetchLiteral(5, "BODY[TEXT]<0>", part) + Tag(3) + " OK Fetch completed.\r\n")
      .ExpectLine(Tag(4) + " FETCH 5:5 RFC822.HEADER")
      .Send(FetchLiteral(5, "RFC822.HEADER", header) + Tag(4) + " OK Fetch completed.\r\n")
      .ExpectLine(Tag(5) + " FETCH 5:5 BODY[TEXT]<0.100>")
      .Send(Tag(5) + " NO Message expunged\r\n");
  ScriptLogout(6);
  StartAndConnect();
  ASSERT_TRUE(client().RetrieveTop(5, 100)) << client().last_error;
  EXPECT_EQ(client().message_text, header + part + "\r\n\r\n");
  EXPECT_FALSE(client().RetrieveTop(5, 100));
  EXPECT_EQ(client().last_error, "Message expunged");
}

TEST_F(ImapDialogue, HeaderFromAQuotedStringAndOtherMessagesPassedOver) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 2:2 RFC822.HEADER")
      .Send(FetchLiteral(9, "RFC822.HEADER", "not this\r\n") + "* 2 FETCH (RFC822.HEADER \"X: \\\"y\\\"\")\r\n" +
            Tag(2) + " OK done\r\n");
  ScriptLogout(3);
  StartAndConnect();
  ASSERT_TRUE(client().RetrieveHeader(2));
  EXPECT_EQ(client().message_text, "X: \"y\"");
}

// Dovecot's answer for a message that another session has expunged (this one
// has not been told yet): the text is NIL, and the tagged reply is OK.
TEST_F(ImapDialogue, ANilTextIsAnEmptyMessageNotTheWordNil) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 1:1 RFC822")
      .Send("* 1 FETCH (FLAGS (\\Deleted \\Seen \\Recent) RFC822 NIL)\r\n" + Tag(2) +
            " OK [EXPUNGEISSUED] Some messages were already expunged (0.004 + 0.000 + 0.003 secs).\r\n")
      .ExpectLine(Tag(3) + " FETCH 1:1 RFC822.HEADER")
      .Send("* 1 FETCH (RFC822.HEADER NIL)\r\n" + Tag(3) + " OK [EXPUNGEISSUED] Some messages were already expunged\r\n")
      .ExpectLine(Tag(4) + " FETCH 1:1 BODY[TEXT]<0.3>")
      .Send("* 1 FETCH (BODY[TEXT]<0> NIL)\r\n" + Tag(4) + " OK [EXPUNGEISSUED] Some messages were already expunged\r\n");
  ScriptLogout(5);
  StartAndConnect();
  client().message_text = "left over";
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, "");
  ASSERT_TRUE(client().RetrieveTop(1, 3)) << client().last_error;
  EXPECT_EQ(client().message_text, "\r\n\r\n");
}

TEST_F(ImapDialogue, AnImpossibleLiteralFails) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " FETCH 1:1 RFC822")
      .Send("* 1 FETCH (RFC822 {99999999999999999999999}\r\n")
      .ExpectLine(Tag(3) + " FETCH 2:2 RFC822")
      .Send("* 2 FETCH (RFC822 {2147483648}\r\n");
  ScriptLogout(4);
  StartAndConnect();
  EXPECT_FALSE(client().Retrieve(1));
  EXPECT_EQ(client().last_error, "Invalid literal in server response");
  client().last_error.clear();
  EXPECT_FALSE(client().Retrieve(2));  // beyond the largest literal taken
  EXPECT_EQ(client().last_error, "Invalid literal in server response");
}

// ---- Appending -----------------------------------------------------------------

TEST_F(ImapDialogue, AppendWaitsForTheGoAheadAndCountsBytes) {
  const std::string message = "Subject: caf\xC3\xA9\r\n\r\nline one\r\n.\r\nend\r\n";
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " APPEND \"Sent Items\" {" + std::to_string(message.size()) + "}")
      .Pause(100)  // a client that did not wait would have sent the message by now
      .Send("+ OK\r\n")
      .ExpectLine("Subject: caf\xC3\xA9")
      .ExpectLine("")
      .ExpectLine("line one")
      .ExpectLine(".")
      .ExpectLine("end")
      .ExpectLine("")
      .Send(Tag(2) + " OK [APPENDUID 1 5] Append completed (0.004 + 0.000 secs).\r\n");
  ScriptLogout(3);
  StartAndConnect();
  ASSERT_TRUE(client().AppendMessage("Sent Items", message)) << client().last_error;
  client_.reset();
  server_.Finish();
  EXPECT_THAT(server_.Problems(), IsEmpty());
  const std::string received = server_.Received();
  const std::string expected_append =
      Tag(2) + " APPEND \"Sent Items\" {" + std::to_string(message.size()) + "}\r\n" + message + "\r\n";
  EXPECT_NE(received.find(expected_append + Tag(3) + " LOGOUT\r\n"), std::string::npos) << received;
}

TEST_F(ImapDialogue, AppendRefusedByTheServerSendsNothingOfTheMessage) {
  ScriptConnect();
  server_.ExpectLine(Tag(2) + " APPEND Missing {9}")
      .Send("* 3 EXISTS\r\n" + Tag(2) + " NO [TRYCREATE] Mailbox doesn't exist: Missing\r\n");
  ScriptLogout(3);
  StartAndConnect();
  EXPECT_FALSE(client().AppendMessage("Missing", "X: y\r\n\r\nz"));
  EXPECT_EQ(client().last_error, "[TRYCREATE] Mailbox doesn't exist: Missing");
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " APPEND Missing {9}", Tag(3) + " LOGOUT"})));
}

// ---- Hostile caller text ------------------------------------------------------------

TEST_F(ImapDialogue, LineBreaksInCallerTextAreRefusedBeforeAnythingIsSent) {
  const std::string refused = MessageText(kMsgLineBreakInCommand);
  ScriptConnect();
  ScriptLogout(2);
  StartAndConnect();
  struct Case {
    const char* what;
    bool outcome;
  } cases[] = {
      {"create", client().CreateMailbox("a\r\nX LOGOUT")},
      {"rename", client().RenameMailbox("ok", "b\nc")},
      {"copy", client().CopyMessage(1, std::string("n\0ul", 4))},
      {"append", client().AppendMessage("x\ry", "msg")},
      {"search", client().Search("ALL\r\nX DELETE INBOX")},
  };
  for (const Case& c : cases) EXPECT_FALSE(c.outcome) << c.what;
  EXPECT_EQ(client().last_error, refused);
  client().mailbox_name = "INBOX\r\nX DELETE INBOX";
  EXPECT_FALSE(client().SelectMailbox(false));
  EXPECT_FALSE(client().UpdateStatus());
  EXPECT_FALSE(client().GetMailboxesList());
  EXPECT_EQ(client().last_error, refused);
  EXPECT_EQ(client().current_tag(), Tag(1));  // no tag was used
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " LOGOUT"})));
}

TEST_F(ImapDialogue, APasswordWithALineBreakIsRefusedBeforeConnecting) {
  server_.Start();
  client().password = "secret\r\nX DELETE INBOX";
  EXPECT_FALSE(client().Connect());
  EXPECT_EQ(client().last_error, MessageText(kMsgLineBreakInCommand));
  EXPECT_THAT(Transcript(), IsEmpty());
  EXPECT_FALSE(server_.accepted());
}

TEST_F(ImapDialogue, UserAndPasswordThatAreNoAtomsAreQuoted) {
  server_.Send("* OK ready\r\n")
      .ExpectLine(Tag(0) + " LOGIN \"John Smith\" \"p\\\"w\\\\d\"")
      .Send(Tag(0) + " OK Logged in\r\n")
      .ExpectLine(Tag(1) + " LIST \"\" \"\"")
      .Send(Tag(1) + " OK done\r\n");
  ScriptLogout(2);
  client().user = "John Smith";
  client().password = "p\"w\\d";
  StartAndConnect();
}

TEST_F(ImapDialogue, OverlongArgumentsAreRefused) {
  ScriptConnect();
  ScriptLogout(2);
  StartAndConnect();
  EXPECT_FALSE(client().CreateMailbox(std::string(260, 'm')));
  EXPECT_EQ(client().last_error, "Mailbox name longer than 259 characters");
  EXPECT_FALSE(client().Search("TEXT " + std::string(1020, 's')));
  EXPECT_EQ(client().last_error, "Command longer than 1023 characters");
  EXPECT_FALSE(client().SearchSentOn(2003, 2, 29));
  EXPECT_EQ(client().last_error, "Invalid date");
  EXPECT_THAT(Transcript(), ElementsAreArray(Lines({Tag(2) + " LOGOUT"})));
}

}  // namespace
}  // namespace vesk
