// The odd corners of IMAP text that no dialogue reaches: arguments quoted or
// not, literal announcements, fetch items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace vesk
