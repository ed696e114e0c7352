// The IMAP4 client against scripted servers, a row per dialogue: the lines
// it sends (tags and all), what it makes of the answers, and whether the
// session is still on (connected and logged in) afterwards.

#include "engine/protocols/imap_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "engine/common/error_texts.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using testing::Clients;
using testing::Dialogue;
using testing::Exchange;
using testing::MillisecondsSince;

constexpr char kAfterLogin[] = "IMAP4rev1 LITERAL+ IDLE MOVE UIDPLUS SPECIAL-USE LIST-EXTENDED";
const Exchange kSelect = {{" SELECT INBOX"},
                          "* 3 EXISTS\r\n* OK [UIDVALIDITY 3000000001] UIDs valid\r\n"
                          "* OK [UIDNEXT 4000000000] Predicted next UID\r\n"
                          "{tag} OK [READ-WRITE] Select completed\r\n"};
const Exchange kLogout = {{" LOGOUT"}, "* BYE Logging out\r\n{tag} OK Logout completed.\r\n"};

// IMAP4 exchanges with their tags: a client line that begins with a space is
// a command and gets the next tag before it (the counter starts at 0);
// "{tag}" in an answer is the tag of the latest command.
std::vector<Exchange> Numbered(std::vector<Exchange> script) {
  int next = 0;
  for (Exchange& exchange : script) {
    for (std::string& line : exchange.client_lines) {
      if (line.starts_with(' ')) line = "{t}" + std::to_string(next++) + line;
    }
    for (size_t at; (at = exchange.reply.find("{tag}")) != std::string::npos;) {
      exchange.reply.replace(at, 5, "{t}" + std::to_string(next - 1));
    }
  }
  return script;
}

// Greeting, LOGIN and the root LIST (tags 0 and 1), then `more`. The tagged
// reply to LOGIN lists `capabilities` (none: the client must ask).
std::vector<Exchange> SignedIn(std::vector<Exchange> more, const std::string& capabilities = kAfterLogin,
                               const std::string& delimiter = "/") {
  return Numbered(testing::Then(
      {{{}, "* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n"},
       {{" LOGIN user lemonade"},
        capabilities.empty() ? "{tag} OK Logged in\r\n"
                             : "{tag} OK [CAPABILITY " + capabilities + "] Logged in\r\n"},
       {{" LIST \"\" \"\""}, "* LIST (\\Noselect) \"" + delimiter + "\" \"\"\r\n{tag} OK done\r\n"}},
      more));
}

// `head` {size} CR LF, the literal, then what closes the response. The size
// counts the literal as the client gets it, "{t}" replaced by a tag prefix
// (of the same length for every client).
std::string FetchLiteral(const std::string& head, const std::string& literal) {
  const std::size_t size = testing::Tagged(literal, ImapClient().tag_prefix()).size();
  return head + " {" + std::to_string(size) + "}\r\n" + literal + ")\r\n";
}

using Call = std::function<bool(ImapClient&)>;

// Connects (and selects INBOX when `select`), then `call`.
std::function<bool(Clients&)> Opened(Call call, bool select = false) {
  return [=](Clients& c) {
    EXPECT_TRUE(c.imap.Connect() && (!select || c.imap.SelectMailbox(false))) << c.imap.last_error();
    return call(c.imap);
  };
}

// One command after signing in with plain IMAP4rev1: the line sent, the
// server's answer, and what the client makes of it; untagged lines among the
// answers never disturb the outcome.
Dialogue Command(const char* name, std::string sent, std::string reply, Call call, bool succeeds = true,
                 std::string error = "Unknown error", bool session_ends = false) {
  std::vector<Exchange> script = {{{std::move(sent)}, std::move(reply)}};
  if (!session_ends) script.push_back(kLogout);
  return {name, 'I', SignedIn(script, "IMAP4rev1"),
          Opened([=](ImapClient& c) { return c.first_unseen = 9, call(c); }),
          succeeds, error, session_ends ? "logged out" : "logged in"};
}

std::vector<Dialogue> Cases() {
  const std::string by_uid = "Subject: by uid\r\n\r\nbody\r\n";
  // A line of the message that starts with the tag is part of the literal,
  // and the stream stays in step for the next command.
  const std::string literal = "Subject: test\r\n\r\n" + std::string(3000, 'x') + "\r\n(parentheses)\r\n" +
                              "{t}2 OK this line is part of the message\r\n{t}2 NO nor this\r\nno line end";
  return {
      Command("NoWithAResponseCode", " COPY 3:3 Archive",
              "{tag} NO [TRYCREATE] Mailbox doesn't exist: Archive\r\n",
              [](ImapClient& c) { return c.CopyMessage(3, "Archive"); }, false,
              "[TRYCREATE] Mailbox doesn't exist: Archive"),
      // The text after the status word, without the server's timing.
      Command("BadGivesTheServersTextWithoutItsTiming", " EXPUNGE",
              "{tag} BAD Error in IMAP command EXPUNGE: No mailbox selected "
              "(0.001 + 0.000 + 0.001 secs).\r\n",
              [](ImapClient& c) { return c.Expunge(); }, false,
              "Error in IMAP command EXPUNGE: No mailbox selected"),
      // Without a mailbox name every mailbox is listed from the top.
      Command("EmptyMailboxNameListsFromTheTop", " LIST \"\" \"*\"",
              "* LIST () \"/\" Top\r\n* LIST () \"/\" Top/Sub\r\n{tag} OK\r\n", [](ImapClient& c) {
                c.mailbox_name.clear();
                return c.GetMailboxesList() && c.mailbox_list == std::vector<std::string>({"Top", "Top\\Sub"});
              }),
      Command("StatusSetsMessagesAndRecentButNotFirstUnseen", " STATUS INBOX (MESSAGES RECENT UNSEEN)",
              "* STATUS INBOX (MESSAGES 231 RECENT 1 UNSEEN 5)\r\n{tag} OK\r\n", [](ImapClient& c) {
                return c.UpdateStatus() && c.message_count == 231 && c.recent_count == 1 && c.first_unseen == 9;
              }),
      Command("RejectedNumberGivesZeroFlags", " FETCH 99:99 FLAGS",
              "{tag} BAD Error in IMAP command FETCH: Invalid messageset\r\n",
              [](ImapClient& c) {
                return c.last_flags = 7, c.GetMessageFlags(99, c.last_flags) || c.last_flags != 0;
              },
              false, "Error in IMAP command FETCH: Invalid messageset"),
      // Dovecot's answer for a message that another session has expunged.
      Command("ANilTextIsAnEmptyMessageNotTheWordNil", " FETCH 1:1 RFC822",
              "* 1 FETCH (FLAGS (\\Deleted) RFC822 NIL)\r\n{tag} OK [EXPUNGEISSUED] Some messages were already "
              "expunged\r\n",
              [](ImapClient& c) { return c.message_text = "left", c.Retrieve(1) && c.message_text.empty(); }),
      Command("AnImpossibleLiteralFails", " FETCH 1:1 RFC822", "* 1 FETCH (RFC822 {2147483648}\r\n",
              [](ImapClient& c) { return c.Retrieve(1); }, false, "Invalid literal in server response"),
      Command("ASilentServerGivesTheTimeOut", " EXPUNGE", "",
              [](ImapClient& c) { return c.set_timeout_ms(100), c.Expunge(); }, false, "Socket error # 10060",
              true),
      Command("ALongSearchAnswerBeyondTheLimitFails", " SEARCH ALL",
              "* SEARCH" + std::string(1000, ' ') + "1\r\n{tag} OK\r\n",
              [](ImapClient& c) { return c.max_line_bytes = 1000, c.Search("ALL"); }, false,
              "Server response line longer than 1000 bytes"),
      Command("AppendRefusedSendsNothingOfTheMessage", " APPEND Missing {9}",
              "* 3 EXISTS\r\n{tag} NO [TRYCREATE] Mailbox doesn't exist: Missing\r\n",
              [](ImapClient& c) { return c.AppendMessage("Missing", "X: y\r\n\r\nz"); }, false,
              "[TRYCREATE] Mailbox doesn't exist: Missing"),
      {"ARefusedLogInIsNeitherLoggedInNorLoggedOut", 'I',
       Numbered({{{}, "* ok hello\r\n"},  // compared without regard to case
                 {{" LOGIN user lemonade"}, "{tag} NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"}}),
       [](Clients& c) { return c.imap.Connect(); }, false, "[AUTHENTICATIONFAILED] Authentication failed.",
       "logged out"},
      // Dovecot, after deleting the selected mailbox, answers OK and then says
      // BYE and closes. The next command reads the BYE and fails with its text
      // at once (not with the time-out); an APPEND sends no message after it,
      // and releasing the client sends no LOGOUT.
      {"AnUntaggedByeEndsTheCommandWithTheServersText", 'I',
       SignedIn({{{" DELETE Work"},
                  "{tag} OK Delete completed.\r\n* BYE Selected mailbox was deleted, have to disconnect.\r\n"},
                 {{" APPEND INBOX {17}"}, ""}},
                "IMAP4rev1", "."),
       Opened([](ImapClient& c) {
         c.set_timeout_ms(10000);
         EXPECT_TRUE(c.DeleteMailbox("Work")) << c.last_error();
         return c.AppendMessage("INBOX", "Subject: x\r\n\r\nx\r\n");
       }),
       false, "Selected mailbox was deleted, have to disconnect.", "logged out", 2000, true},
      {"MessageTextIsExactlyTheLiteral", 'I',
       SignedIn({{{" FETCH 1:1 RFC822"},
                  FetchLiteral("* 1 FETCH (FLAGS (\\Seen) RFC822", literal) + "{tag} OK Fetch completed.\r\n"},
                 {{" EXPUNGE"}, "{tag} OK Expunge completed.\r\n"}, kLogout},
                "IMAP4rev1", "."),
       Opened([=](ImapClient& c) {
         EXPECT_TRUE(c.Retrieve(1)) << c.last_error();
         EXPECT_EQ(c.message_text, testing::Tagged(literal, c.tag_prefix()));
         return c.Expunge();
       }),
       true, "Unknown error", "logged in"},
      // Criteria beyond ASCII go as UTF-8, said so with CHARSET, each such
      // string as a literal sent after the server's go-ahead; ASCII criteria
      // stay as given. A server that refuses at once never gets the literal.
      {"SearchBeyondAsciiSendsUtf8Literals", 'I',
       SignedIn({{{" SEARCH CHARSET UTF-8 SUBJECT {7}"}, "+ go ahead\r\n"},
                 {{"Gr\xC3\xBC\xC3\x9F" "e FROM \"a b\" BODY {5}"}, "+ go ahead\r\n"},
                 {{"K\xC3\xB6ln)"}, "* SEARCH 2 7\r\n{tag} OK done\r\n"},
                 {{" SEARCH CHARSET UTF-8 TEXT {3}"}, "{tag} NO [BADCHARSET] no\r\n"}, kLogout},
                "IMAP4rev1", "."),
       Opened([](ImapClient& c) {
         EXPECT_TRUE(c.Search("SUBJECT \"Gr\xC3\xBC\xC3\x9F" "e\" FROM \"a b\" BODY K\xC3\xB6ln)"))
             << c.last_error();
         EXPECT_EQ(c.search_results, std::vector<std::int32_t>({2, 7}));
         return c.Search("CHARSET UTF-8 TEXT \xE2\x82\xAC");
       }),
       false, "[BADCHARSET] no", "logged in"},
      // Caller text that could end the command line, or would not fit its
      // limits, is refused before anything is sent and without using a tag.
      {"HostileOrOverlongCallerTextIsRefusedBeforeSending", 'I', SignedIn({kLogout}, "IMAP4rev1", "."),
       Opened([](ImapClient& c) {
         const std::string refused = MessageText(kMsgLineBreakInCommand);
         const std::pair<Call, std::string> calls[] = {
             {[](ImapClient& c) { return c.CreateMailbox("a\r\nX LOGOUT"); }, refused},
             {[](ImapClient& c) { return c.Search("ALL\r\nX DELETE INBOX"); }, refused},
             {[](ImapClient& c) { return c.mailbox_name = "INBOX\r\nX", c.SelectMailbox(false); }, refused},
             {[](ImapClient& c) { return c.CreateMailbox(std::string(260, 'm')); },
              "Mailbox name longer than 259 characters"},
             {[](ImapClient& c) { return c.Search("TEXT " + std::string(1020, 's')); },
              "Command longer than 1023 characters"},
             {[](ImapClient& c) { return c.SearchSentOn(2003, 2, 29); }, "Invalid date"}};
         for (const auto& [call, error] : calls) {
           EXPECT_FALSE(call(c));
           EXPECT_EQ(c.last_error(), error);
         }
         return c.current_tag() == c.tag_prefix() + "1";
       }),
       true, "Invalid date", "logged in"},
      // Log-in arguments that are no atoms are quoted; a root line gives the
      // delimiter (none: it stays "."); a second Connect fails and leaves the
      // session alone; Disconnect logs out once, and the session has ended.
      {"ConnectLogsInAndDisconnectLogsOutOnce", 'I',
       Numbered({{{}, "* OK ready\r\n"},
                 {{" LOGIN \"John Smith\" \"p\\\"w\\\\d\""}, "{tag} OK Logged in\r\n"},
                 {{" LIST \"\" \"\""}, "{tag} OK done\r\n"}, kLogout}),
       [](Clients& clients) {
         ImapClient& c = clients.imap;
         c.set_user("John Smith"), c.set_password("p\"w\\d");
         EXPECT_TRUE(c.Connect()) << c.last_error();
         EXPECT_EQ(c.hierarchy_delimiter, ".");
         EXPECT_FALSE(c.Connect());  // its text and the ended session: SessionRules
         EXPECT_TRUE(c.logged_in());
         return c.Disconnect();
       },
       true, "Server cannot be connected", "logged out"},
      // By UID every member names its message by UID, with all 32 bits; the
      // answer is matched by its UID item, and a UID the mailbox does not hold
      // fails clearly instead of giving another message or nothing.
      {"ByUidEveryMemberUsesTheUidFormAndAMissingUidFails", 'I',
       SignedIn({kSelect,
                 {{" UID SEARCH UNSEEN"}, "* SEARCH 7 4000000000\r\n{tag} OK done\r\n"},
                 {{" UID FETCH 4000000000:4000000000 RFC822"},
                  "* 2 FETCH (FLAGS (\\Seen))\r\n" + FetchLiteral("* 3 FETCH (UID 4000000000 RFC822", by_uid) +
                      "{tag} OK done\r\n"},
                 {{" UID FETCH 77:77 RFC822"}, "{tag} OK Fetch completed (0.001 + 0.000 secs).\r\n"},
                 {{" UID SEARCH CHARSET UTF-8 SUBJECT {3}"}, "+ go ahead\r\n"},
                 {{"\xE2\x82\xAC"}, "* SEARCH 4000000000\r\n{tag} OK done\r\n"},
                 {{" UID FETCH 7:7 FLAGS"}, "* 1 FETCH (UID 7 FLAGS (\\Seen \\Flagged))\r\n{tag} OK done\r\n"},
                 {{" UID SEARCH UID 77"}, "* SEARCH\r\n{tag} OK done\r\n"},
                 {{" UID SEARCH UID 7"}, "* SEARCH 7\r\n{tag} OK done\r\n"},
                 {{" UID STORE 7:7 +FLAGS.SILENT (\\Deleted)"}, "{tag} OK done\r\n"}, kLogout}),
       Opened([=](ImapClient& c) {
         c.use_uids = true;
         EXPECT_EQ(c.uid_validity, 3000000001u);
         EXPECT_EQ(c.uid_next, 4000000000u);
         EXPECT_TRUE(c.Search("UNSEEN")) << c.last_error();
         EXPECT_THAT(c.uid_search_results, ElementsAre(7u, 4000000000u));
         EXPECT_TRUE(c.Retrieve(static_cast<std::int32_t>(4000000000u))) << c.last_error();
         EXPECT_EQ(c.message_text, by_uid);
         EXPECT_FALSE(c.Retrieve(77));
         EXPECT_EQ(c.last_error(), "No message has the UID 77 in the selected mailbox");
         EXPECT_TRUE(c.Search("SUBJECT \xE2\x82\xAC")) << c.last_error();  // beyond ASCII: a literal
         EXPECT_THAT(c.uid_search_results, ElementsAre(4000000000u));
         std::int32_t flags = 0;
         EXPECT_TRUE(c.GetMessageFlags(7, flags)) << c.last_error();
         EXPECT_EQ(flags, 5);
         EXPECT_FALSE(c.DeleteMessage(77));  // nothing is stored
         EXPECT_EQ(c.last_error(), "No message has the UID 77 in the selected mailbox");
         return c.DeleteMessage(7);
       }, true),
       true, "No message has the UID 77 in the selected mailbox", "logged in"},
      // Moving: MOVE where listed; with UIDPLUS alone, COPY, \Deleted and UID
      // EXPUNGE of the one message (its UID asked first when it was given by
      // number); with neither, a refusal before anything is changed.
      {"MovingTakesTheUidplusRoadWithoutMove", 'I',
       SignedIn({kSelect, {{" FETCH 2:2 (UID)"}, "* 2 FETCH (UID 41)\r\n{tag} OK done\r\n"},
                 {{" UID COPY 41:41 \"Gesendete Objekte\""}, "{tag} OK [COPYUID 9 41 5] done\r\n"},
                 {{" UID STORE 41:41 +FLAGS.SILENT (\\Deleted)"}, "{tag} OK done\r\n"},
                 {{" UID EXPUNGE 41:41"}, "* 2 EXPUNGE\r\n{tag} OK done\r\n"}, kLogout},
                "IMAP4rev1 UIDPLUS"),
       Opened([](ImapClient& c) { return c.MoveMessage(2, "Gesendete Objekte"); }, true), true, "Unknown error",
       "logged in"},
      {"MovingUsesMoveWhenListed", 'I',
       SignedIn({kSelect, {{" CAPABILITY"}, "* CAPABILITY IMAP4rev1 MOVE\r\n{tag} OK done\r\n"},
                 {{" UID SEARCH UID 41"}, "* SEARCH 41\r\n{tag} OK done\r\n"},
                 {{" UID MOVE 41:41 Archive"},
                  "* OK [COPYUID 9 41 5] moved\r\n* 2 EXPUNGE\r\n{tag} OK done\r\n"},
                 kLogout},
                ""),  // the client asks
       Opened([](ImapClient& c) { return c.use_uids = true, c.MoveMessage(41, "Archive"); }, true), true,
       "Unknown error", "logged in"},
      {"MovingIsRefusedWhenOnlyAPlainExpungeCouldDoIt", 'I', SignedIn({kSelect, kLogout}, "IMAP4rev1 IDLE"),
       Opened([](ImapClient& c) { return c.MoveMessage(2, "Archive"); }, true), false,
       "The server offers neither MOVE nor UIDPLUS, so the message cannot be moved without expunging other "
       "messages marked for deletion",
       "logged in"},
      // The role, not the name, finds a mailbox; names come decoded with the
      // caller's separator; an unknown role is refused before anything is sent.
      {"MailboxRolesAreFoundWhateverTheMailboxIsCalled", 'I',
       SignedIn({{{" LIST (SPECIAL-USE) \"\" \"*\""},
                  "* LIST (\\HasNoChildren \\Drafts) \"/\" Entw&APw-rfe\r\n"
                  "* LIST (\\HasNoChildren \\Sent) \"/\" \"Gesendete Objekte\"\r\n"
                  "* LIST (\\HasChildren \\Trash) \"/\" \"Archiv/&AMk-l&AOk-ments supprim&AOk-s\"\r\n"
                  "{tag} OK done\r\n"},
                 {{" LIST (SPECIAL-USE) \"\" \"*\""},
                  "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n{tag} OK done\r\n"},
                 kLogout}),
       Opened([](ImapClient& c) {
         std::string name;
         EXPECT_FALSE(c.FindSpecialMailbox("Outbox", name));
         EXPECT_EQ(c.last_error(),
                   "Unknown mailbox role \"Outbox\": use Sent, Trash, Junk, Drafts, Archive or All");
         EXPECT_TRUE(c.FindSpecialMailbox("sent", name)) << c.last_error();
         EXPECT_EQ(name, "Gesendete Objekte");
         return c.FindSpecialMailbox("Junk", name) && name.empty();
       }),
       true, "Unknown mailbox role \"Outbox\": use Sent, Trash, Junk, Drafts, Archive or All", "logged in"},
      {"WithoutListExtendedEveryMailboxIsListed", 'I',
       SignedIn({{{" LIST \"\" \"*\""},
                  "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                  "* LIST (\\HasChildren \\Trash) \"/\" \"Archiv/&AMk-l&AOk-ments supprim&AOk-s\"\r\n"
                  "{tag} OK done\r\n"},
                 kLogout},
                "IMAP4rev1 SPECIAL-USE"),
       Opened([](ImapClient& c) {
         std::string name;
         return c.FindSpecialMailbox("TRASH", name) && name == "Archiv\\\xC3\x89l\xC3\xA9ments supprim\xC3\xA9s";
       }),
       true, "Unknown error", "logged in"},
      // IDLE: the news ends the wait at once, DONE ends the IDLE, and the
      // session goes on; with nothing new the wait ends when its time is up.
      {"WaitingIdlesUntilNewsOrTheTimeIsUp", 'I',
       SignedIn({kSelect, {{" IDLE"}, "+ idling\r\n"}, {{}, "* 4 EXISTS\r\n", 300},
                 {{"DONE"}, "{tag} OK Idle completed.\r\n"},
                 {{" IDLE"}, "+ idling\r\n* 2 FETCH (FLAGS (\\Seen))\r\n"},
                 {{"DONE"}, "{tag} OK Idle completed.\r\n"}, {{" NOOP"}, "{tag} OK done\r\n"}, kLogout}),
       Opened([](ImapClient& c) {
         bool changed = false;
         auto started = std::chrono::steady_clock::now();
         EXPECT_TRUE(c.WaitForChange(20, changed) && changed) << c.last_error();
         EXPECT_LT(MillisecondsSince(started), 5000);
         EXPECT_EQ(c.message_count, 4);
         started = std::chrono::steady_clock::now();
         EXPECT_TRUE(c.WaitForChange(1, changed)) << c.last_error();
         EXPECT_FALSE(changed);  // a flag change is no new or lost message
         EXPECT_GE(MillisecondsSince(started), 900);
         return c.ExecuteCommand(ImapCommand::kNoop);
       }, true),
       true, "Unknown error", "logged in"},
      // Once a caller works with UIDs, news of arrivals and UpdateStatus bring
      // UIDNEXT up to date (the newest UID plus one, then the server's count).
      {"UidNextFollowsArrivalsAndStatus", 'I',
       SignedIn({kSelect, {{" IDLE"}, "+ idling\r\n"}, {{}, "* 4 EXISTS\r\n", 100},
                 {{"DONE"}, "{tag} OK Idle completed.\r\n"},
                 {{" FETCH 4:4 (UID)"}, "* 4 FETCH (UID 4000000003)\r\n{tag} OK done\r\n"},
                 {{" STATUS INBOX (MESSAGES RECENT UNSEEN UIDNEXT)"},
                  "* STATUS INBOX (MESSAGES 4 RECENT 0 UNSEEN 1 UIDNEXT 4000000009)\r\n{tag} OK\r\n"},
                 kLogout}),
       Opened([](ImapClient& c) {
         c.uid_next_wanted = true;
         bool changed = false;
         EXPECT_TRUE(c.WaitForChange(20, changed) && changed) << c.last_error();
         EXPECT_EQ(c.uid_next, 4000000004u);
         EXPECT_TRUE(c.UpdateStatus()) << c.last_error();
         return c.uid_next == 4000000009u;
       }, true),
       true, "Unknown error", "logged in"},
      // A long wait ends its IDLE and begins another before the server's
      // inactivity limit; a server that then stops answering costs the
      // time-out, and no LOGOUT follows.
      {"IdleIsRenewedAndAFrozenServerCostsTheTimeOut", 'I',
       SignedIn({kSelect, {{" IDLE"}, "+ idling\r\n"}, {{"DONE"}, "{tag} OK Idle completed.\r\n"},
                 {{" IDLE"}, "+ idling\r\n"}, {{"DONE"}, "{tag} OK Idle completed.\r\n"},
                 {{" IDLE"}, "+ idling\r\n"}, {{"DONE"}, "", 3000}}),
       Opened([](ImapClient& c) {
         c.idle_renewal = std::chrono::milliseconds(400);
         c.set_timeout_ms(500);
         bool changed = true;
         const auto started = std::chrono::steady_clock::now();
         const bool waited = c.WaitForChange(30, changed);
         EXPECT_FALSE(changed);
         EXPECT_LT(MillisecondsSince(started), 2900);
         return waited;
       }, true),
       false, "Socket error # 10060", "logged out"},
      // Without IDLE the mailbox is asked with NOOP; an expunge is a change
      // too, and a new message reported during an earlier command counts at
      // once.
      {"WaitingWithoutIdlePollsWithNoop", 'I',
       SignedIn({kSelect, {{" NOOP"}, "{tag} OK done\r\n"}, {{" NOOP"}, "* 1 EXPUNGE\r\n{tag} OK done\r\n"},
                 {{" FETCH 1:1 FLAGS"}, "* 3 EXISTS\r\n* 1 FETCH (FLAGS ())\r\n{tag} OK done\r\n"}, kLogout},
                "IMAP4rev1"),
       Opened([](ImapClient& c) {
         bool changed = false;
         std::int32_t flags = 0;
         EXPECT_TRUE(c.WaitForChange(10, changed) && changed) << c.last_error();
         EXPECT_TRUE(c.GetMessageFlags(1, flags));
         EXPECT_TRUE(c.WaitForChange(10, changed)) << c.last_error();
         return changed && c.message_count == 3;  // without a command: message 3 arrived meanwhile
       }, true),
       true, "Unknown error", "logged in"},
      // The structure comes first, then the one part, decoded: only that
      // part's bytes are fetched, and the message is not marked seen.
      {"OnePartIsFetchedAloneAndDecoded", 'I',
       SignedIn({kSelect,
                 {{" UID FETCH 9:9 (UID BODYSTRUCTURE)"},
                  "* 1 FETCH (UID 9 BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL "
                  "\"quoted-printable\" 12 1 NIL NIL NIL NIL)(\"application\" \"pdf\" (\"name\" \"r.pdf\") "
                  "NIL NIL \"base64\" 8 NIL (\"attachment\" (\"filename\" \"r.pdf\")) NIL NIL) \"mixed\" "
                  "(\"boundary\" \"b\") "
                  "NIL NIL NIL))\r\n{tag} OK done\r\n"},
                 {{" UID FETCH 9:9 (UID BODY.PEEK[2])"},
                  FetchLiteral("* 1 FETCH (UID 9 BODY[2]", "JVBERi0=") + "{tag} OK done\r\n"},
                 {{" UID FETCH 9:9 (UID BODY.PEEK[1])"},
                  FetchLiteral("* 1 FETCH (UID 9 BODY[1]", "gr=C3=BC=\r\n=C3=9F\r\nzwei") + "{tag} OK done\r\n"},
                 kLogout}),
       Opened([](ImapClient& c) {
         c.use_uids = true;
         std::string content;
         ImapBodyPart part;
         EXPECT_FALSE(c.FetchPart(9, "2]\r\nX", content, part));  // refused before anything is sent
         EXPECT_TRUE(c.FetchPart(9, "2", content, part)) << c.last_error();
         EXPECT_EQ(content + " " + part.file_name, "%PDF- r.pdf");
         EXPECT_TRUE(c.FetchPart(9, "1", content, part)) << c.last_error();
         // A soft break joins, a hard one stays CR LF, and nothing is added.
         EXPECT_EQ(content, "gr\xC3\xBC\xC3\x9F\r\nzwei");
         return c.FetchPart(9, "3", content, part);
       }, true),
       false, "The message has no part \"3\"", "logged in"},
  };
}

class ImapDialogues : public ::testing::TestWithParam<Dialogue> {};

TEST_P(ImapDialogues, SendExactlyTheScriptedLinesAndReadTheAnswers) {
  testing::Play(GetParam(), [](Clients& c) {
    return c.imap.logged_in() && c.imap.connected() ? "logged in" : "logged out";
  });
}

INSTANTIATE_TEST_SUITE_P(ImapClient, ImapDialogues, ::testing::ValuesIn(Cases()), testing::RowName);

TEST(ImapResponses, ServerTextLosesWhiteSpaceAndTiming) {
  const std::pair<std::string, std::string> cases[] = {
      {" Mailbox doesn't exist: Foo (0.001 + 0.000 secs).", "Mailbox doesn't exist: Foo"},
      {"[TRYCREATE] No such mailbox", "[TRYCREATE] No such mailbox"},
      {"Completed (in two steps)", "Completed (in two steps)"},
      {"  ", ""},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ServerText(text), shown) << text;
}

}  // namespace
}  // namespace vesk
