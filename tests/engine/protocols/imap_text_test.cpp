// The IMAP text that no dialogue reaches in all its corners: arguments quoted
// or not, literal announcements, the server's text, fetch items, body
// structures, and mailbox names in modified UTF-7 (RFC 3501 section 5.1.3).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/protocols/imap_body_structure.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/imap_mailbox_names.h"
#include "engine/protocols/imap_responses.h"

namespace vesk {
namespace {

TEST(ImapArguments, AtomsStayEverythingElseIsQuoted) {
  const std::pair<std::string, std::string> cases[] = {
      {"INBOX.Work", "INBOX.Work"}, {"a]b", "a]b"},  // "]" is allowed in an astring
      {"", "\"\""}, {"My Box", "\"My Box\""}, {"a\"b", "\"a\\\"b\""}, {"a\\b", "\"a\\\\b\""}, {"(x)", "\"(x)\""},
      {"{3}", "\"{3}\""}, {"50%", "\"50%\""}, {"*", "\"*\""}, {"tab\there", "\"tab\there\""}};
  for (const auto& [text, argument] : cases) EXPECT_EQ(ImapAstring(text), argument) << text;
}

TEST(ImapResponses, LiteralAnnouncementsEndTheLine) {
  EXPECT_TRUE(StartsWithTag("[0a1b]7 NO", "[0A1B]7")) << "tags compare without regard to case";
  const std::tuple<std::string, LiteralAnnouncement, std::uint64_t> cases[] = {
      {"* 1 FETCH (RFC822 {12}", LiteralAnnouncement::kValid, 12},
      {"* 1 FETCH (BODY[TEXT]<0> {0}", LiteralAnnouncement::kValid, 0},
      {"* OK no brace }", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {1x}", LiteralAnnouncement::kNone, 0},
      {"* OK [ALERT] see {manual}", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {-3}", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {99999999999999999999999}", LiteralAnnouncement::kInvalid, 0}};
  for (const auto& [line, kind, expected] : cases) {
    std::uint64_t count = 0;
    EXPECT_EQ(FindLiteralAnnouncement(line, count), kind) << line;
    if (kind == LiteralAnnouncement::kValid) EXPECT_EQ(count, expected) << line;
  }
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

// A response as the client collects it: each piece but the last is followed
// by the literal of the same index.
ImapResponse Response(std::vector<std::string> pieces, std::vector<std::string> literals = {}) {
  ImapResponse response;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    response.text += pieces[i];
    if (i < literals.size()) {
      response.literals.push_back(literals[i]);
      response.literal_ends.push_back(response.text.size());
    }
  }
  return response;
}

TEST(ImapResponses, FetchItemsWithLiteralsListsAndStrings) {
  ImapFetch fetch;
  ASSERT_TRUE(ReadFetch(Response({"* 5 FETCH (FLAGS (\\Seen) BODY[TEXT]<0> {3}", " UID 9)"}, {"a)c"}), fetch));
  EXPECT_EQ(fetch.number, 5);
  ASSERT_EQ(fetch.items.size(), 3u);
  EXPECT_EQ(fetch.items[0].kind, ImapFetchItem::Kind::kList);
  EXPECT_EQ(fetch.Find("body[text]")->name + "=" + fetch.Find("BODY[TEXT]")->value, "BODY[TEXT]<0>=a)c");
  EXPECT_EQ(fetch.Find("UID")->value, "9");
  // Braces that were never followed by a literal are no literal.
  ASSERT_TRUE(ReadFetch(Response({"* 2 FETCH (BODY[HEADER.FIELDS (FROM TO)] \"q\\\"s\" X NIL Y {2} Z 44)"}), fetch));
  ASSERT_EQ(fetch.items.size(), 4u);
  EXPECT_EQ(fetch.items[0].name + "=" + fetch.items[0].value, "BODY[HEADER.FIELDS (FROM TO)]=q\"s");
  EXPECT_EQ(fetch.items[1].kind, ImapFetchItem::Kind::kNil);
  EXPECT_EQ(fetch.Find("Z")->value, "44");
  EXPECT_FALSE(ReadFetch(Response({"* OK FETCH (X)"}), fetch));
}

// Each part as "section|type|charset|encoding|size|disposition|file name".
std::vector<std::string> Summaries(const std::vector<ImapBodyPart>& parts) {
  std::vector<std::string> lines;
  for (const ImapBodyPart& p : parts) {
    lines.push_back(p.section + "|" + p.MediaType() + "|" + p.charset + "|" + p.encoding + "|" + std::to_string(p.size) +
                    "|" + p.disposition + "|" + p.file_name);
  }
  return lines;
}

struct StructureCase {
  const char* name;
  ImapResponse response;
  bool readable;
  std::vector<std::string> parts;
};

const StructureCase kStructures[] = {
    // What Dovecot sends for a text with a PDF attached, inside a message that
    // also carries HTML as an alternative; the disposition's name wins.
    {"NestedPartsGetTheirSpecifiersTypesSizesAndNames",
     Response({"* 3 FETCH (UID 41 BODYSTRUCTURE ((("
               "\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL \"quoted-printable\" 120 4 NIL NIL NIL NIL)("
               "\"text\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 300 9 NIL NIL NIL NIL) "
               "\"alternative\" (\"boundary\" \"b2\") NIL NIL NIL)("
               "\"application\" \"pdf\" (\"name\" \"report.pdf\") NIL NIL \"base64\" 5242880 NIL "
               "(\"attachment\" (\"filename\" \"Report 2026.pdf\")) NIL NIL) "
               "\"mixed\" (\"boundary\" \"b1\") NIL NIL NIL) FLAGS (\\Seen))"}),
     true,
     {"1.1|text/plain|utf-8|quoted-printable|120||", "1.2|text/html|utf-8|7bit|300||",
      "2|application/pdf||base64|5242880|attachment|Report 2026.pdf"}},
    // A message that is not multipart has the one part 1; NIL stands for any
    // field, even the encoding (read as 7bit) and the parameters.
    {"ASinglePartMessageIsPartOneAndNilFieldsAreEmpty",
     Response({"* 1 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" NIL NIL NIL NIL 12 1))"}), true,
     {"1|text/plain||7bit|12||"}},
    // Strings may come as literals (Cyrus sends a name with a quote in it that
    // way); "{n}" counts only where the server announced a literal.
    {"StringsMayBeLiterals",
     Response({"* 2 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1)(\"image\" \"png\" (\"name\" {13}",
               ") NIL NIL \"base64\" 90 NIL NIL NIL NIL) \"mixed\"))"},
              {"a \"b\" {5}.png"}),
     true, {"1|text/plain||7bit|3||", "2|image/png||base64|90||a \"b\" {5}.png"}},
    // File names in the forms senders use: RFC 2231 (with a charset, continued)
    // and encoded-words; Latin-1 comes out as UTF-8.
    {"FileNamesAreDecoded",
     Response({"* 4 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1 NIL NIL NIL NIL)"
               "(\"application\" \"pdf\" NIL NIL NIL \"base64\" 10 NIL (\"attachment\" (\"filename*\" "
               "\"utf-8''%C3%BCber.pdf\")) NIL NIL)"
               "(\"application\" \"pdf\" NIL NIL NIL \"base64\" 10 NIL (\"attachment\" (\"filename*0*\" "
               "\"iso-8859-1''caf%E9\" \"filename*1\" \".txt\")) NIL NIL)"
               "(\"application\" \"pdf\" (\"name\" \"=?utf-8?B?w6ljb2xlLnBkZg==?=\") NIL NIL \"base64\" 10 NIL NIL NIL NIL)"
               " \"mixed\"))"}),
     true,
     {"1|text/plain||7bit|3||", "2|application/pdf||base64|10|attachment|\xC3\xBC" "ber.pdf",
      "3|application/pdf||base64|10|attachment|caf\xC3\xA9.txt", "4|application/pdf||base64|10||\xC3\xA9" "cole.pdf"}},
    // An attached message is one part (its envelope and body are passed over),
    // and the parts after it keep their numbers.
    {"AnAttachedMessageIsOnePart",
     Response({"* 5 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1)"
               "(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 500 (\"date\" \"subj\" ((NIL NIL \"a\" \"b\")) NIL NIL NIL NIL "
               "NIL NIL \"<id>\") ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)(\"text\" \"html\" NIL NIL NIL \"7bit\" 1 1)"
               " \"alternative\") 20 NIL (\"attachment\" (\"filename\" \"fw.eml\")) NIL NIL)"
               "(\"text\" \"csv\" NIL NIL NIL \"8bit\" 7 1) \"mixed\"))"}),
     true,
     {"1|text/plain||7bit|3||", "2|message/rfc822||7bit|500|attachment|fw.eml", "3|text/csv||8bit|7||"}},
    // Broken responses fail without listing parts they do not describe.
    {"NoBodyStructure", Response({"* 1 FETCH (FLAGS (\\Seen))"}), false, {}},
    {"NoFetch", Response({"* OK [UIDNEXT 4]"}), false, {}},
    {"CutShort", Response({"* 1 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)(\"text\""}), false,
     {"1|text/plain||7bit|1||"}},
};

TEST(ImapBodyStructure, PartsGetTheirSpecifiersTypesSizesAndNames) {
  for (const StructureCase& c : kStructures) {
    std::vector<ImapBodyPart> parts;
    EXPECT_EQ(ReadBodyStructure(c.response, parts), c.readable) << c.name;
    EXPECT_THAT(Summaries(parts), ::testing::ElementsAreArray(c.parts)) << c.name;
  }
}

// Deep nesting is passed over without recursion past the limit.
TEST(ImapBodyStructure, DeepNestingIsSafe) {
  std::string deep = "* 1 FETCH (BODYSTRUCTURE ";
  for (int i = 0; i < 100000; ++i) deep += "(";
  deep += "\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1";
  for (int i = 0; i < 100000; ++i) deep += ") \"mixed\"";
  deep += ")";
  std::vector<ImapBodyPart> parts;
  ReadBodyStructure(Response({deep}), parts);
  EXPECT_TRUE(parts.empty());
}

TEST(ImapBodyStructure, PartSpecifiersAreNumbersJoinedByPeriods) {
  for (const char* good : {"1", "2.1", "10.2.33"}) EXPECT_TRUE(IsPartSection(good)) << good;
  for (const char* bad : {"", "0x1", "1.", ".1", "1..2", "TEXT", "1.MIME", "1 2", "1]"}) {
    EXPECT_FALSE(IsPartSection(bad)) << bad;
  }
}

TEST(MailboxNameEncoding, WritesAndReadsModifiedUtf7) {
  const std::pair<std::string, std::string> cases[] = {  // as the client has it (UTF-8), as it goes on the wire
      {"INBOX/Sent Items", "INBOX/Sent Items"},  // printable ASCII stays byte for byte
      {"A&B", "A&-B"},
      {"&", "&-"},
      {"Entw\xC3\xBC" "rfe", "Entw&APw-rfe"},
      {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},  // the RFC's own example
      {"\xD0\xA7\xD0\xB5", "&BCcENQ-"},
      {"\xF0\x9F\x98\x80", "&2D3eAA-"},  // beyond U+FFFF: a surrogate pair
      {"a\xC3\xA9&\xC3\xA9", "a&AOk-&-&AOk-"},
  };
  for (const auto& [client, wire] : cases) {
    EXPECT_EQ(EncodeMailboxName(client), wire) << client;
    std::string decoded;
    EXPECT_TRUE(DecodeMailboxName(wire, decoded)) << wire;
    EXPECT_EQ(decoded, client) << wire;
  }
  // Bytes that are not UTF-8 are taken as the characters of their numbers.
  EXPECT_EQ(EncodeMailboxName("\xFC"), "&APw-");
  // What is not modified UTF-7 is refused, so that the caller keeps it as it came.
  for (const char* invalid : {"&AGE", "&A-", "&2D0-", "&3gA-", "&AP*-", "caf\xC3\xA9", "&APx-"}) {
    std::string decoded;
    EXPECT_FALSE(DecodeMailboxName(invalid, decoded)) << invalid;
  }
}

}  // namespace
}  // namespace vesk
