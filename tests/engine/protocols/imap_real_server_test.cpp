// ImapClient against the loopback Dovecot of `tools/mailservers.sh start`.
// These tests run only when VESK_MAILSERVERS=1 is set; otherwise each reports
// itself skipped. They work in mailboxes under "VeskTest" (made and removed
// by each test), so the INBOX that the POP3 tests use is left alone.
//
// Settings (environment, with defaults): VESK_IMAP_PORT (2143),
// VESK_MAIL_USER (vesk), VESK_MAIL_PASSWORD (vesk-pass).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/messages.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/imap_responses.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

constexpr char kRoot[] = "VeskTest";

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

void PointAt(ImapClient& client) {
  client.host = "127.0.0.1";
  client.port = static_cast<std::uint16_t>(std::atoi(Setting("VESK_IMAP_PORT", "2143").c_str()));
  client.user = Setting("VESK_MAIL_USER", "vesk");
  client.password = Setting("VESK_MAIL_PASSWORD", "vesk-pass");
}

// A client name below the test root: Box("a\\b") is "VeskTest\a\b".
std::string Box(const std::string& below) { return std::string(kRoot) + "\\" + below; }

// Standard base64 with lines of 76 characters, CR LF after each.
std::string Base64Lines(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t column = 0;
  auto put = [&](char c) {
    out.push_back(c);
    if (++column == 76) {
      out += "\r\n";
      column = 0;
    }
  };
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t b0 = static_cast<unsigned char>(bytes[i]);
    const std::uint32_t b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const std::uint32_t b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    const std::uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    put(kAlphabet[(group >> 18) & 63]);
    put(kAlphabet[(group >> 12) & 63]);
    put(i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=');
    put(i + 2 < bytes.size() ? kAlphabet[group & 63] : '=');
  }
  if (column != 0) out += "\r\n";
  return out;
}

// A small message of its own subject and date, CR LF throughout.
std::string SimpleMessage(const std::string& subject, const std::string& date, const std::string& body) {
  return "From: Sender <sender@vesk.test>\r\n"
         "To: <vesk@localhost>\r\n"
         "Subject: " + subject + "\r\n"
         "Date: " + date + "\r\n"
         "Message-ID: <" + subject + "@vesk.test>\r\n"
         "\r\n" + body;
}

class ImapRealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Setting("VESK_MAILSERVERS", "0") != "1") {
      GTEST_SKIP() << "real mail servers not requested: run tools/mailservers.sh start and "
                      "set VESK_MAILSERVERS=1";
    }
    client_ = Connected();
    ASSERT_TRUE(client_ && client_->logged_in())
        << "are the servers running? tools/mailservers.sh start";
    RemoveTestMailboxes();
    ASSERT_TRUE(client_->CreateMailbox(kRoot)) << client_->last_error;
  }

  // A session of its own: the test's may have a mailbox selected that is
  // about to go (the server then says BYE and closes).
  void TearDown() override {
    if (!client_) return;
    client_ = Connected();
    if (client_) RemoveTestMailboxes();
  }

  // A logged-in session. The log-in may wait: after refused log-ins the
  // server answers the next ones from this address only after a penalty.
  static std::unique_ptr<ImapClient> Connected() {
    auto client = std::make_unique<ImapClient>();
    PointAt(*client);
    client->timeout_ms = kLogInWaitMs;
    if (!client->Connect()) {
      ADD_FAILURE() << "Connect: " << client->last_error;
      return nullptr;
    }
    client->timeout_ms = 5000;
    return client;
  }

  static constexpr int kLogInWaitMs = 40000;

  ImapClient& client() { return *client_; }

  // The children of a mailbox (client form), as GetMailboxesList gives them.
  std::vector<std::string> Children(ImapClient& client, const std::string& parent) {
    const std::string kept = client.mailbox_name;
    client.SetMailboxNameFromClient(parent);
    EXPECT_TRUE(client.GetMailboxesList()) << client.last_error;
    client.mailbox_name = kept;
    return client.mailbox_list;
  }

  // Everything below the root, deepest first, then the root itself.
  void RemoveTestMailboxes() {
    std::vector<std::string> names = Children(client(), kRoot);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& name : names) EXPECT_TRUE(client().DeleteMailbox(name)) << name << ": " << client().last_error;
    client().DeleteMailbox(kRoot);  // absent at the first run
  }

  // Selects a mailbox given in client form.
  bool Select(ImapClient& client, const std::string& name, bool read_only = false) {
    client.SetMailboxNameFromClient(name);
    return client.SelectMailbox(read_only);
  }

  std::unique_ptr<ImapClient> client_;
};

// ---- Session and mailboxes --------------------------------------------------

TEST_F(ImapRealServer, ConnectLearnsTheDelimiterAndDisconnectLogsOut) {
  EXPECT_EQ(client().hierarchy_delimiter, ".");
  auto other = Connected();
  ASSERT_TRUE(other);
  EXPECT_EQ(other->hierarchy_delimiter, ".");
  EXPECT_TRUE(other->mailbox_list.empty());  // the root line is no mailbox
  EXPECT_TRUE(other->Disconnect()) << other->last_error;
  EXPECT_FALSE(other->logged_in());
  // The server has closed the session: commands fail from now on.
  EXPECT_FALSE(other->Expunge());
}

TEST_F(ImapRealServer, MailboxesAreCreatedListedRenamedAndDeleted) {
  ASSERT_TRUE(client().CreateMailbox(Box("Projects"))) << client().last_error;
  ASSERT_TRUE(client().CreateMailbox(Box("Projects\\2026"))) << client().last_error;
  ASSERT_TRUE(client().CreateMailbox(Box("Old mail"))) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot),
              UnorderedElementsAre(Box("Projects"), Box("Projects\\2026"), Box("Old mail")));
  EXPECT_THAT(Children(client(), Box("Projects")), ElementsAre(Box("Projects\\2026")));

  // The server form uses the server's delimiter; the root keeps its name.
  client().SetMailboxNameFromClient(Box("Projects\\2026"));
  EXPECT_EQ(client().mailbox_name, "VeskTest.Projects.2026");
  EXPECT_EQ(client().MailboxNameForClient(), Box("Projects\\2026"));
  EXPECT_TRUE(client().SelectMailbox(true)) << client().last_error;

  ASSERT_TRUE(client().RenameMailbox(Box("Old mail"), Box("Archive 2025"))) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot),
              UnorderedElementsAre(Box("Projects"), Box("Projects\\2026"), Box("Archive 2025")));
  // Renaming a parent takes its children along.
  ASSERT_TRUE(client().RenameMailbox(Box("Projects"), Box("Done"))) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot),
              UnorderedElementsAre(Box("Done"), Box("Done\\2026"), Box("Archive 2025")));

  ASSERT_TRUE(client().DeleteMailbox(Box("Archive 2025"))) << client().last_error;
  ASSERT_TRUE(client().DeleteMailbox(Box("Done\\2026"))) << client().last_error;
  ASSERT_TRUE(client().DeleteMailbox(Box("Done"))) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot), IsEmpty());

  // The server's refusals come back as its text, response code first.
  EXPECT_FALSE(client().DeleteMailbox(Box("Never made")));
  EXPECT_THAT(client().last_error, StartsWith("[NONEXISTENT] "));
  ASSERT_TRUE(client().CreateMailbox(Box("Twice")));
  EXPECT_FALSE(client().CreateMailbox(Box("Twice")));
  EXPECT_THAT(client().last_error, StartsWith("[ALREADYEXISTS] "));
}

TEST_F(ImapRealServer, AMailboxNameWithABlankAndAQuoteIsSentQuoted) {
  const std::string name = Box("Say \"hi\" to (all) 100%");
  ASSERT_TRUE(client().CreateMailbox(name)) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot), ElementsAre(name));
  // Listing its children quotes the reference too.
  ASSERT_TRUE(client().CreateMailbox(name + "\\child {1}")) << client().last_error;
  EXPECT_THAT(Children(client(), name), ElementsAre(name + "\\child {1}"));
  ASSERT_TRUE(client().DeleteMailbox(name + "\\child {1}")) << client().last_error;

  const std::string message = SimpleMessage("quoted", "Sat, 07 Mar 2002 12:00:00 +0000", "hi\r\n");
  ASSERT_TRUE(client().AppendMessage(name, message)) << client().last_error;
  client().SetMailboxNameFromClient(name);
  ASSERT_TRUE(client().UpdateStatus()) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
  ASSERT_TRUE(client().SelectMailbox(false)) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, message);

  const std::string copy = Box("Copy (of) \"it\"");
  ASSERT_TRUE(client().CreateMailbox(copy)) << client().last_error;
  ASSERT_TRUE(client().CopyMessage(1, copy)) << client().last_error;

  // Renamed while another mailbox is selected (renaming the selected one
  // would take it away from under this session).
  ASSERT_TRUE(Select(client(), copy, true)) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
  const std::string renamed = Box("Renamed \"quote\" and {braces}");
  ASSERT_TRUE(client().RenameMailbox(name, renamed)) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot), UnorderedElementsAre(renamed, copy));
  client().SetMailboxNameFromClient(renamed);
  ASSERT_TRUE(client().UpdateStatus()) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
}

// ---- Messages -----------------------------------------------------------------

// A multipart message with an attachment, and lines that a line-by-line
// reader would take for protocol: the tags the client is about to use, a lone
// closing parenthesis, a literal announcement, a line longer than 1023 bytes
// and bytes above 127.
std::string AwkwardMultipart(const std::string& tag_prefix) {
  std::string attachment;
  for (int i = 0; i < 70000; ++i) attachment.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
  std::string text =
      "From: Sender <sender@vesk.test>\r\n"
      "To: Vesk <vesk@localhost>\r\n"
      "Subject: multipart round trip\r\n"
      "Date: Sun, 06 Dec 2026 12:00:00 +0000\r\n"
      "Message-ID: <multipart@vesk.test>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"=_vesk_boundary_1\"\r\n"
      "\r\n"
      "This is a multi-part message in MIME format.\r\n"
      "\r\n"
      "--=_vesk_boundary_1\r\n"
      "Content-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "Gr\xfc\xdf" "e aus K\xf6ln.\r\n";
  for (int counter = 0; counter < 30; ++counter) {
    text += tag_prefix + std::to_string(counter) + " OK Fetch completed.\r\n";
  }
  text +=
      ")\r\n"
      "* 1 FETCH (RFC822 {12}\r\n"
      "+ go ahead\r\n" +
      std::string(3000, 'L') + "\r\n"
      "\r\n"
      "--=_vesk_boundary_1\r\n"
      "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
      "\r\n" +
      Base64Lines(attachment) +
      "\r\n"
      "--=_vesk_boundary_1--\r\n";
  return text;
}

TEST_F(ImapRealServer, AppendedMultipartComesBackByteForByte) {
  const std::string box = Box("Messages");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  const std::string message = AwkwardMultipart(client().tag_prefix());
  ASSERT_TRUE(client().AppendMessage(box, message)) << client().last_error;
  ASSERT_TRUE(Select(client(), box)) << client().last_error;
  ASSERT_EQ(client().message_count, 1);

  const std::size_t header_end = message.find("\r\n\r\n") + 4;
  const std::string header = message.substr(0, header_end);
  const std::string body = message.substr(header_end);

  ASSERT_TRUE(client().GetMessageSize(1)) << client().last_error;
  EXPECT_EQ(client().last_size, static_cast<std::int32_t>(message.size()));

  ASSERT_TRUE(client().RetrieveHeader(1)) << client().last_error;
  EXPECT_EQ(client().message_text, header);

  // The header alone leaves the message unseen.
  std::int32_t flags = -1;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagRecent);

  // The whole message. It is the first fetch of the text, so the server
  // marks the message seen and puts FLAGS before the literal.
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text.size(), message.size());
  EXPECT_TRUE(client().message_text == message) << "the fetched message differs from the appended one";
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagSeen | kImapFlagRecent);

  // RetrieveTop: the header, the text's first bytes, and CR LF CR LF.
  for (std::int32_t bytes : {0, 1, 100, 2000}) {
    ASSERT_TRUE(client().RetrieveTop(1, bytes)) << client().last_error;
    EXPECT_EQ(client().message_text, header + body.substr(0, static_cast<std::size_t>(bytes)) + "\r\n\r\n")
        << bytes;
  }

  // A top longer than the text is the whole text.
  ASSERT_TRUE(client().RetrieveTop(1, 1 << 20)) << client().last_error;
  EXPECT_TRUE(client().message_text == message + "\r\n\r\n");
}

TEST_F(ImapRealServer, AMessageWithoutAFinalLineEndComesBackIntact) {
  const std::string box = Box("Unended");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  const std::string message = SimpleMessage("unended", "Sun, 06 Dec 2026 12:00:00 +0000",
                                            "first line\r\nlast line) without its end)");
  ASSERT_TRUE(client().AppendMessage(box, message)) << client().last_error;
  ASSERT_TRUE(Select(client(), box, true)) << client().last_error;
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, message);
  ASSERT_TRUE(client().RetrieveTop(1, 5)) << client().last_error;
  EXPECT_EQ(client().message_text, message.substr(0, message.find("\r\n\r\n") + 4) + "first\r\n\r\n");
}

TEST_F(ImapRealServer, SelectExamineAndStatusSetTheCounters) {
  const std::string box = Box("Counted");
  const std::string other = Box("Other");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  ASSERT_TRUE(client().CreateMailbox(other)) << client().last_error;
  for (int i = 1; i <= 3; ++i) {
    const std::string message = SimpleMessage("c" + std::to_string(i), "Sun, 06 Dec 2026 12:00:00 +0000", "x\r\n");
    ASSERT_TRUE(client().AppendMessage(box, message)) << client().last_error;
  }
  ASSERT_TRUE(client().AppendMessage(other, SimpleMessage("o1", "Sun, 06 Dec 2026 12:00:00 +0000", "y\r\n")));

  // STATUS before anyone has selected: all three are recent and unseen.
  client().SetMailboxNameFromClient(box);
  ASSERT_TRUE(client().UpdateStatus()) << client().last_error;
  EXPECT_EQ(client().message_count, 3);
  EXPECT_EQ(client().recent_count, 3);
  EXPECT_EQ(client().first_unseen, 0);  // STATUS never sets it

  ASSERT_TRUE(client().SelectMailbox(false)) << client().last_error;
  EXPECT_EQ(client().message_count, 3);
  EXPECT_EQ(client().recent_count, 3);
  EXPECT_EQ(client().first_unseen, 1);

  ASSERT_TRUE(client().PutMessageFlags(1, kImapFlagSeen)) << client().last_error;
  // This session took the recent flags: examining again shows none.
  ASSERT_TRUE(client().SelectMailbox(true)) << client().last_error;
  EXPECT_EQ(client().message_count, 3);
  EXPECT_EQ(client().recent_count, 0);
  EXPECT_EQ(client().first_unseen, 2);

  // STATUS of another mailbox (allowed while one is selected) leaves the
  // first unseen number alone.
  client().SetMailboxNameFromClient(other);
  ASSERT_TRUE(client().UpdateStatus()) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
  EXPECT_EQ(client().recent_count, 1);
  EXPECT_EQ(client().first_unseen, 2);

  // All seen: the reply has no UNSEEN code and the number stays.
  ASSERT_TRUE(Select(client(), box)) << client().last_error;
  for (int n = 1; n <= 3; ++n) ASSERT_TRUE(client().PutMessageFlags(n, kImapFlagSeen));
  ASSERT_TRUE(client().SelectMailbox(true)) << client().last_error;
  EXPECT_EQ(client().message_count, 3);
  EXPECT_EQ(client().first_unseen, 2);

  // A second session sees the counts, but the recent flags are gone.
  auto second = Connected();
  ASSERT_TRUE(second);
  ASSERT_TRUE(Select(*second, box, true)) << second->last_error;
  EXPECT_EQ(second->message_count, 3);
  EXPECT_EQ(second->recent_count, 0);

  client().SetMailboxNameFromClient(Box("Not there"));
  EXPECT_FALSE(client().UpdateStatus());
  EXPECT_THAT(client().last_error, StartsWith("Mailbox doesn't exist: VeskTest.Not there"));
  EXPECT_EQ(client().message_count, 3);
}

TEST_F(ImapRealServer, SearchesByCriteriaFlagsAndSentDate) {
  const std::string box = Box("Searched");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  const char* dates[] = {"Thu, 28 Feb 2002 12:00:00 +0000", "Sat, 07 Mar 2002 12:00:00 +0000",
                         "Sat, 07 Mar 2002 13:30:00 +0000", "Wed, 01 Jan 2003 12:00:00 +0000"};
  const char* subjects[] = {"apple", "pear", "apple-pie", "plum"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(client().AppendMessage(box, SimpleMessage(subjects[i], dates[i], "text\r\n")))
        << client().last_error;
  }
  ASSERT_TRUE(Select(client(), box)) << client().last_error;

  ASSERT_TRUE(client().Search("ALL")) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 2, 3, 4));
  ASSERT_TRUE(client().Search("SUBJECT apple")) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 3));
  ASSERT_TRUE(client().Search("SUBJECT cherry")) << client().last_error;
  EXPECT_THAT(client().search_results, IsEmpty());  // a bare "* SEARCH"
  ASSERT_TRUE(client().Search("OR SUBJECT plum SUBJECT pear")) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(2, 4));

  ASSERT_TRUE(client().SearchSentOn(2002, 3, 7)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(2, 3));
  ASSERT_TRUE(client().SearchSentBefore(2002, 3, 7)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1));
  ASSERT_TRUE(client().SearchSentSince(2002, 3, 7)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(2, 3, 4));
  ASSERT_TRUE(client().SearchSentOn(2003, 1, 1)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(4));

  ASSERT_TRUE(client().PutMessageFlags(2, kImapFlagSeen | kImapFlagFlagged)) << client().last_error;
  ASSERT_TRUE(client().PutMessageFlags(3, kImapFlagSeen)) << client().last_error;
  ASSERT_TRUE(client().SearchByFlags(kImapFlagSeen | kImapFlagFlagged)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(2));
  ASSERT_TRUE(client().SearchByFlags(kImapFlagSeen)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(3));
  // \Recent is not looked at: the same as no flag at all.
  ASSERT_TRUE(client().SearchByFlags(kImapFlagRecent)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 4));
  ASSERT_TRUE(client().SearchByFlags(0)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 4));

  // The server's refusal of criteria it cannot read; the results of the last
  // search stay as they were.
  EXPECT_FALSE(client().Search("NOSUCHKEY 1"));
  EXPECT_THAT(client().last_error, StartsWith(" Error in IMAP command SEARCH: "));
  EXPECT_THAT(client().search_results, ElementsAre(1, 4));
}

TEST_F(ImapRealServer, FlagsAreReadAndPut) {
  const std::string box = Box("Flagged");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  ASSERT_TRUE(client().AppendMessage(box, SimpleMessage("f", "Sun, 06 Dec 2026 12:00:00 +0000", "x\r\n")));
  ASSERT_TRUE(Select(client(), box)) << client().last_error;

  std::int32_t flags = -1;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagRecent);

  const std::int32_t all = kImapFlagSeen | kImapFlagAnswered | kImapFlagFlagged | kImapFlagDeleted | kImapFlagDraft;
  ASSERT_TRUE(client().PutMessageFlags(1, all)) << client().last_error;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, all | kImapFlagRecent);
  EXPECT_EQ(client().last_flags, flags);

  ASSERT_TRUE(client().PutMessageFlags(1, kImapFlagAnswered | kImapFlagDraft)) << client().last_error;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagAnswered | kImapFlagDraft | kImapFlagRecent);

  // 0 removes every storable flag (the add that follows has an empty list).
  ASSERT_TRUE(client().PutMessageFlags(1, 0)) << client().last_error;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagRecent);

  // The recent flag cannot be stored or removed by a client.
  ASSERT_TRUE(client().PutMessageFlags(1, kImapFlagRecent | kImapFlagFlagged)) << client().last_error;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagFlagged | kImapFlagRecent);

  // Another session sees the stored flags, without \Recent.
  auto second = Connected();
  ASSERT_TRUE(second);
  ASSERT_TRUE(Select(*second, box, true)) << second->last_error;
  ASSERT_TRUE(second->GetMessageFlags(1, flags)) << second->last_error;
  EXPECT_EQ(flags, kImapFlagFlagged);

  // A number the server rejects gives 0 and the server's text.
  EXPECT_FALSE(client().GetMessageFlags(7, flags));
  EXPECT_EQ(flags, 0);
  EXPECT_THAT(client().last_error, StartsWith(" Error in IMAP command FETCH: Invalid messageset"));
  EXPECT_FALSE(client().PutMessageFlags(7, kImapFlagSeen));
  EXPECT_THAT(client().last_error, StartsWith(" Error in IMAP command STORE: Invalid messageset"));
  // In a mailbox opened read-only the server answers OK but stores nothing.
  ASSERT_TRUE(client().SelectMailbox(true)) << client().last_error;
  EXPECT_TRUE(client().PutMessageFlags(1, kImapFlagSeen)) << client().last_error;
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags & kImapStorableFlags, kImapFlagFlagged);
}

TEST_F(ImapRealServer, CopyAndExpunge) {
  const std::string box = Box("Source");
  const std::string target = Box("Target");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  ASSERT_TRUE(client().CreateMailbox(target)) << client().last_error;
  std::vector<std::string> messages;
  for (int i = 1; i <= 3; ++i) {
    messages.push_back(SimpleMessage("m" + std::to_string(i), "Sun, 06 Dec 2026 12:00:00 +0000",
                                     "message " + std::to_string(i) + "\r\n"));
    ASSERT_TRUE(client().AppendMessage(box, messages.back())) << client().last_error;
  }
  ASSERT_TRUE(Select(client(), box)) << client().last_error;

  ASSERT_TRUE(client().CopyMessage(2, target)) << client().last_error;
  ASSERT_TRUE(client().CopyMessage(3, target)) << client().last_error;
  EXPECT_FALSE(client().CopyMessage(9, target));
  EXPECT_FALSE(client().CopyMessage(1, Box("Missing")));
  EXPECT_THAT(client().last_error, StartsWith("[TRYCREATE] "));

  ASSERT_TRUE(client().DeleteMessage(1)) << client().last_error;
  std::int32_t flags = 0;
  ASSERT_TRUE(client().GetMessageFlags(1, flags));
  EXPECT_EQ(flags & kImapFlagDeleted, kImapFlagDeleted);
  ASSERT_TRUE(client().SearchByFlags(kImapFlagDeleted)) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1));
  ASSERT_TRUE(client().Expunge()) << client().last_error;
  ASSERT_TRUE(client().Search("ALL")) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 2));
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, messages[1]);

  ASSERT_TRUE(client().SelectMailbox(true)) << client().last_error;
  EXPECT_EQ(client().message_count, 2);

  ASSERT_TRUE(Select(client(), target, true)) << client().last_error;
  EXPECT_EQ(client().message_count, 2);
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, messages[1]);
  ASSERT_TRUE(client().Retrieve(2)) << client().last_error;
  EXPECT_EQ(client().message_text, messages[2]);
}

// Another session changes the selected mailbox: its news (EXISTS, RECENT,
// FETCH with the new flags) comes in front of the answers to this session's
// commands and must not be taken for them.
TEST_F(ImapRealServer, NewsFromAnotherSessionDoesNotDisturbTheAnswers) {
  const std::string box = Box("Shared");
  ASSERT_TRUE(client().CreateMailbox(box)) << client().last_error;
  const std::string first = SimpleMessage("first", "Sun, 06 Dec 2026 12:00:00 +0000", "one\r\n");
  const std::string second = SimpleMessage("second", "Sun, 06 Dec 2026 12:00:00 +0000", "second one\r\n");
  ASSERT_TRUE(client().AppendMessage(box, first)) << client().last_error;
  ASSERT_TRUE(Select(client(), box)) << client().last_error;
  ASSERT_EQ(client().message_count, 1);

  auto other = Connected();
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->AppendMessage(box, second)) << other->last_error;
  ASSERT_TRUE(Select(*other, box)) << other->last_error;
  ASSERT_TRUE(other->PutMessageFlags(1, kImapFlagFlagged | kImapFlagAnswered)) << other->last_error;

  // The server tells this session of the new message with one of its
  // answers, as soon as it has noticed the other session's change.
  std::vector<std::string> news;
  for (int attempt = 0; attempt < 100; ++attempt) {
    ASSERT_TRUE(client().Search("ALL")) << client().last_error;
    for (const ImapResponse& response : client().responses()) news.push_back(response.text);
    if (client().search_results.size() == 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_THAT(client().search_results, ElementsAre(1, 2));
  EXPECT_THAT(news, ::testing::Contains("* 2 EXISTS"));

  ASSERT_TRUE(client().GetMessageSize(2)) << client().last_error;
  EXPECT_EQ(client().last_size, static_cast<std::int32_t>(second.size()));
  std::int32_t flags = 0;
  ASSERT_TRUE(client().GetMessageFlags(2, flags)) << client().last_error;
  EXPECT_EQ(flags, 0);
  ASSERT_TRUE(client().GetMessageFlags(1, flags)) << client().last_error;
  EXPECT_EQ(flags, kImapFlagFlagged | kImapFlagAnswered | kImapFlagRecent);

  ASSERT_TRUE(other->PutMessageFlags(2, kImapFlagSeen)) << other->last_error;
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, first);
  ASSERT_TRUE(other->PutMessageFlags(1, kImapFlagDraft)) << other->last_error;
  ASSERT_TRUE(client().Retrieve(2)) << client().last_error;
  EXPECT_EQ(client().message_text, second);

  // An expunge by the other session. Until a command may announce it (not
  // SEARCH or FETCH, RFC 3501 section 7.4.1), this session keeps its numbers
  // and the expunged message comes back without text.
  ASSERT_TRUE(other->DeleteMessage(1)) << other->last_error;
  ASSERT_TRUE(other->Expunge()) << other->last_error;
  ASSERT_TRUE(client().Search("ALL")) << client().last_error;
  EXPECT_THAT(client().search_results, ElementsAre(1, 2));
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, "");
  ASSERT_TRUE(client().Retrieve(2)) << client().last_error;
  EXPECT_EQ(client().message_text, second);
  // SELECT again: the numbers of now.
  ASSERT_TRUE(client().SelectMailbox(true)) << client().last_error;
  EXPECT_EQ(client().message_count, 1);
  ASSERT_TRUE(client().Retrieve(1)) << client().last_error;
  EXPECT_EQ(client().message_text, second);
}

// ---- Hostile input and refusals ---------------------------------------------

TEST_F(ImapRealServer, LineBreaksInCallerTextAreRefusedBeforeSending) {
  const std::string refused = MessageText(kMsgLineBreakInCommand);
  for (const char* password : {"vesk-pass\r\nA1 LOGOUT", "vesk-pass\n", "vesk\rpass"}) {
    ImapClient hostile;
    PointAt(hostile);
    hostile.password = password;
    EXPECT_FALSE(hostile.Connect());
    EXPECT_EQ(hostile.last_error, refused);
    EXPECT_FALSE(hostile.logged_in());
    EXPECT_EQ(hostile.current_tag(), "");  // no command was made
  }
  {
    ImapClient hostile;
    PointAt(hostile);
    hostile.password = std::string("vesk-pass\0", 10);
    EXPECT_FALSE(hostile.Connect());
    EXPECT_EQ(hostile.last_error, refused);
  }
  {
    ImapClient hostile;
    PointAt(hostile);
    hostile.user = "vesk\r\nX LOGIN vesk vesk-pass";
    EXPECT_FALSE(hostile.Connect());
    EXPECT_EQ(hostile.last_error, refused);
  }

  // In a session: nothing is sent, and the session goes on undisturbed.
  const std::string tag = client().current_tag();
  EXPECT_FALSE(client().CreateMailbox(Box("evil\r\nX DELETE INBOX")));
  EXPECT_EQ(client().last_error, refused);
  EXPECT_FALSE(client().RenameMailbox(Box("a"), Box("b\nc")));
  EXPECT_FALSE(client().AppendMessage(Box("x\r\ny"), "Subject: x\r\n\r\nx\r\n"));
  EXPECT_FALSE(client().Search("ALL\r\nX LOGOUT"));
  EXPECT_EQ(client().last_error, refused);
  client().mailbox_name = "INBOX\r\nX LOGOUT";
  EXPECT_FALSE(client().SelectMailbox(false));
  EXPECT_FALSE(client().UpdateStatus());
  EXPECT_FALSE(client().GetMailboxesList());
  EXPECT_EQ(client().current_tag(), tag);
  client().mailbox_name = "INBOX";
  EXPECT_THAT(Children(client(), kRoot), IsEmpty());
  EXPECT_TRUE(client().SelectMailbox(true)) << client().last_error;
}

TEST_F(ImapRealServer, AWrongPasswordIsRefusedByTheServer) {
  // Blanks, quotes and a backslash: sent as a quoted string, so the server
  // reads the whole password and refuses it (not the command's syntax).
  ImapClient wrong;
  PointAt(wrong);
  wrong.timeout_ms = kLogInWaitMs;  // the server delays refusals
  wrong.password = "not \"the\" pass\\word";
  EXPECT_FALSE(wrong.Connect());
  EXPECT_FALSE(wrong.logged_in());
  EXPECT_THAT(wrong.last_error, StartsWith("[AUTHENTICATIONFAILED] "));

  ImapClient nobody;
  PointAt(nobody);
  nobody.timeout_ms = kLogInWaitMs;
  nobody.user = "no body";
  EXPECT_FALSE(nobody.Connect());
  EXPECT_THAT(nobody.last_error, StartsWith("[AUTHENTICATIONFAILED] "));
}

TEST_F(ImapRealServer, AppendToAMissingMailboxSendsNoMessage) {
  // The server refuses before its go-ahead; were the message sent anyway, its
  // lines would be read as commands and this one would close the session.
  const std::string message = "Subject: x\r\n\r\nZ1 LOGOUT\r\n";
  EXPECT_FALSE(client().AppendMessage(Box("Missing"), message));
  EXPECT_THAT(client().last_error, StartsWith("[TRYCREATE] "));
  ASSERT_TRUE(client().CreateMailbox(Box("Present"))) << client().last_error;
  EXPECT_THAT(Children(client(), kRoot), ElementsAre(Box("Present")));
}

}  // namespace
}  // namespace vesk
