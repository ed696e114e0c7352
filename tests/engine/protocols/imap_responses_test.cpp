#include "engine/protocols/imap_responses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace vesk {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A response as the client collects it: `pieces` are the lines, and each
// piece but the last is followed by the literal of the same index.
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

TEST(ImapArguments, AtomsStayAndEverythingElseIsQuoted) {
  struct Case {
    std::string text;
    std::string argument;
  } cases[] = {
      {"INBOX", "INBOX"},
      {"INBOX.Work", "INBOX.Work"},
      {"a]b", "a]b"},  // "]" is allowed in an astring
      {"", "\"\""},
      {"My Box", "\"My Box\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"(x)", "\"(x)\""},
      {"{3}", "\"{3}\""},
      {"50%", "\"50%\""},
      {"*", "\"*\""},
      {"tab\there", "\"tab\there\""},
  };
  for (const Case& c : cases) EXPECT_EQ(ImapAstring(c.text), c.argument) << c.text;
}

TEST(ImapArguments, FlagListsAndSearchKeywordsFollowTheBits) {
  struct Case {
    std::int32_t bits;
    std::string store;
    std::string search;
  } cases[] = {
      {0, "", "UNSEEN UNANSWERED UNFLAGGED UNDELETED UNDRAFT"},
      {5, "\\Seen \\Flagged", "SEEN UNANSWERED FLAGGED UNDELETED UNDRAFT"},
      {kImapFlagRecent, "", "UNSEEN UNANSWERED UNFLAGGED UNDELETED UNDRAFT"},
      {63, "\\Seen \\Answered \\Flagged \\Deleted \\Draft", "SEEN ANSWERED FLAGGED DELETED DRAFT"},
      {~5, "\\Answered \\Deleted \\Draft", "UNSEEN ANSWERED UNFLAGGED DELETED DRAFT"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StoreFlagList(c.bits), c.store) << c.bits;
    EXPECT_EQ(SearchFlagCriteria(c.bits), c.search) << c.bits;
  }
}

TEST(ImapArguments, DatesUseEnglishMonthsWhateverTheLocale) {
  struct Case {
    int year, month, day;
    const char* text;  // nullptr: refused
  } cases[] = {
      {2002, 3, 7, "07-Mar-2002"},  {2003, 1, 1, "01-Jan-2003"},   {1999, 12, 31, "31-Dec-1999"},
      {2000, 2, 29, "29-Feb-2000"}, {99, 9, 30, "30-Sep-0099"},     {1900, 2, 29, nullptr},
      {2001, 13, 1, nullptr},       {2001, 4, 31, nullptr},        {2001, 1, 0, nullptr},
      {0, 1, 1, nullptr},
  };
  for (const Case& c : cases) {
    std::string text = "unchanged";
    EXPECT_EQ(FormatImapDate(c.year, c.month, c.day, text), c.text != nullptr) << c.year << "-" << c.month;
    if (c.text) EXPECT_EQ(text, c.text);
  }
}

TEST(ImapResponses, TagsCompareWithoutRegardToCase) {
  EXPECT_TRUE(StartsWithTag("[0A1B]7 OK done", "[0A1B]7"));
  EXPECT_TRUE(StartsWithTag("[0a1b]7 NO", "[0A1B]7"));
  EXPECT_FALSE(StartsWithTag("* 3 EXISTS", "[0A1B]7"));
  EXPECT_FALSE(StartsWithTag("[0A1B]", "[0A1B]7"));
  EXPECT_FALSE(StartsWithTag("anything", ""));
}

TEST(ImapResponses, LiteralAnnouncementsEndTheLine) {
  struct Case {
    std::string line;
    LiteralAnnouncement kind;
    std::uint64_t count;
  } cases[] = {
      {"* 1 FETCH (RFC822 {12}", LiteralAnnouncement::kValid, 12},
      {"* 1 FETCH (BODY[TEXT]<0> {0}", LiteralAnnouncement::kValid, 0},
      {"* LIST () \"/\" {5}", LiteralAnnouncement::kValid, 5},
      {"* 1 FETCH (RFC822.SIZE 12)", LiteralAnnouncement::kNone, 0},
      {"* OK no brace }", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {1x}", LiteralAnnouncement::kNone, 0},
      {"* OK [ALERT] see {manual}", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {-3}", LiteralAnnouncement::kNone, 0},
      {"* 1 FETCH (RFC822 {99999999999999999999999}", LiteralAnnouncement::kInvalid, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t count = 0;
    EXPECT_EQ(FindLiteralAnnouncement(c.line, count), c.kind) << c.line;
    if (c.kind == LiteralAnnouncement::kValid) EXPECT_EQ(count, c.count) << c.line;
  }
}

TEST(ImapResponses, NumbersReadAsTheCConversionDoes) {
  struct Case {
    std::string text;
    bool read;
    std::int32_t value;
    std::string rest;
  } cases[] = {
      {"23 EXISTS", true, 23, " EXISTS"}, {"0x1F)", true, 31, ")"},      {"017", true, 15, ""},
      {"-5", true, -5, ""},               {"0", true, 0, ""},            {"abc", false, 0, "abc"},
      {"99999999999", true, INT_MAX, ""}, {"-99999999999", true, INT_MIN, ""},
  };
  for (const Case& c : cases) {
    std::string_view text = c.text;
    std::int32_t value = 0;
    EXPECT_EQ(ReadCNumber(text, value), c.read) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
}

TEST(ImapResponses, MailboxCountersComeFromTheirOwnLinesOnly) {
  std::int32_t messages = -1, recent = -1, unseen = -1;
  for (const char* line : {"* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)",
                           "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Flags permitted.",
                           "* OK [UIDVALIDITY 1700000000] UIDs valid", "* OK [UIDNEXT 24] Predicted next UID"}) {
    ReadMailboxCounters(line, messages, recent, unseen);
  }
  EXPECT_EQ(messages, -1);
  EXPECT_EQ(recent, -1);
  EXPECT_EQ(unseen, -1);
  for (const char* line : {"* 23 EXISTS", "* 2 RECENT", "* OK [UNSEEN 17] First unseen."}) {
    ReadMailboxCounters(line, messages, recent, unseen);
  }
  EXPECT_EQ(messages, 23);
  EXPECT_EQ(recent, 2);
  EXPECT_EQ(unseen, 17);
}

TEST(ImapResponses, StatusItemsAreReadInAnyOrder) {
  struct Case {
    std::string text;
    bool status;
    std::int32_t messages, recent;
  } cases[] = {
      {"* STATUS INBOX (MESSAGES 231 RECENT 1 UNSEEN 5)", true, 231, 1},
      {"* STATUS INBOX (UNSEEN 5 RECENT 2 MESSAGES 40)", true, 40, 2},
      {"* STATUS \"My Box\" (MESSAGES 3 RECENT 0 UNSEEN 0)", true, 3, 0},
      {"* STATUS INBOX (MESSAGES 7)", true, 7, -1},
      {"* 3 EXISTS", false, -1, -1},
  };
  for (const Case& c : cases) {
    std::int32_t messages = -1, recent = -1;
    EXPECT_EQ(ReadStatusCounts(Response({c.text}), messages, recent), c.status) << c.text;
    EXPECT_EQ(messages, c.messages) << c.text;
    EXPECT_EQ(recent, c.recent) << c.text;
  }
}

TEST(ImapResponses, SearchNumbersInServerOrder) {
  struct Case {
    std::string line;
    bool search;
    std::vector<std::int32_t> numbers;
  } cases[] = {
      {"* SEARCH 2 84 882", true, {2, 84, 882}},
      {"* SEARCH", true, {}},
      {"* SEARCH ", true, {}},
      {"* search 9  10", true, {9, 10}},
      {"* SEARCH 5 (MODSEQ 917162500)", true, {5}},
      {"* SEARCHRES 1", false, {}},
      {"* 4 EXISTS", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::int32_t> numbers;
    EXPECT_EQ(ReadSearchNumbers(c.line, numbers), c.search) << c.line;
    EXPECT_EQ(numbers, c.numbers) << c.line;
  }
}

TEST(ImapResponses, ListEntriesInEveryShapeServersUse) {
  struct Case {
    ImapResponse response;
    bool list;
    std::string delimiter, name;
  } cases[] = {
      {Response({"* LIST (\\HasNoChildren) \".\" INBOX"}), true, ".", "INBOX"},
      {Response({"* LIST (\\HasNoChildren \\Marked) \"/\" \"My Box\""}), true, "/", "My Box"},
      {Response({"* LIST (\\Noselect) \"/\" \"\""}), true, "/", ""},
      {Response({"* LIST () NIL Flat"}), true, "", "Flat"},
      {Response({"* LIST () \"\\\\\" \"a\\\"b\""}), true, "\\", "a\"b"},
      {Response({"* LIST () \".\" {6}", ""}, {"x\r\ny\"z"}), true, ".", "x\r\ny\"z"},
      {Response({"* LSUB () \".\" INBOX"}), false, "", ""},
  };
  for (const Case& c : cases) {
    ImapListEntry entry;
    EXPECT_EQ(ReadListEntry(c.response, entry), c.list) << c.response.text;
    if (!c.list) continue;
    EXPECT_EQ(entry.delimiter, c.delimiter) << c.response.text;
    EXPECT_EQ(entry.name, c.name) << c.response.text;
  }
}

TEST(ImapResponses, FetchItemsWithLiteralsListsAndStrings) {
  // Dovecot marks the message seen and puts FLAGS before the literal.
  ImapFetch fetch;
  ASSERT_TRUE(ReadFetch(Response({"* 12 FETCH (FLAGS (\\Seen \\Recent) RFC822 {7}", ")"}, {"A\r\n\r\nB)"}),
                        fetch));
  EXPECT_EQ(fetch.number, 12);
  ASSERT_EQ(fetch.items.size(), 2u);
  EXPECT_EQ(fetch.items[0].name, "FLAGS");
  EXPECT_EQ(fetch.items[0].kind, ImapFetchItem::Kind::kList);
  EXPECT_EQ(fetch.items[0].value, "\\Seen \\Recent");
  EXPECT_EQ(fetch.items[1].name, "RFC822");
  EXPECT_EQ(fetch.items[1].kind, ImapFetchItem::Kind::kString);
  EXPECT_EQ(fetch.items[1].value, "A\r\n\r\nB)");

  ASSERT_TRUE(ReadFetch(Response({"* 5 FETCH (BODY[TEXT]<0> {3}", " UID 9)"}, {"abc"}), fetch));
  ASSERT_NE(fetch.Find("body[text]"), nullptr);
  EXPECT_EQ(fetch.Find("BODY[TEXT]")->name, "BODY[TEXT]<0>");
  EXPECT_EQ(fetch.Find("BODY[TEXT]")->value, "abc");
  EXPECT_EQ(fetch.Find("UID")->value, "9");

  ASSERT_TRUE(ReadFetch(Response({"* 2 FETCH (BODY[HEADER.FIELDS (FROM TO)] \"q\\\"s\" X NIL)"}), fetch));
  ASSERT_EQ(fetch.items.size(), 2u);
  EXPECT_EQ(fetch.items[0].name, "BODY[HEADER.FIELDS (FROM TO)]");
  EXPECT_EQ(fetch.items[0].value, "q\"s");
  EXPECT_EQ(fetch.items[1].kind, ImapFetchItem::Kind::kNil);

  // Braces that were never followed by a literal are no literal.
  ASSERT_TRUE(ReadFetch(Response({"* 3 FETCH (X {2} RFC822.SIZE 44)"}), fetch));
  EXPECT_EQ(fetch.Find("RFC822.SIZE")->value, "44");

  EXPECT_FALSE(ReadFetch(Response({"* 3 EXISTS"}), fetch));
  EXPECT_FALSE(ReadFetch(Response({"* OK FETCH (X)"}), fetch));
  EXPECT_THAT(fetch.items, IsEmpty());
}

TEST(ImapResponses, FlagBitsFromAFlagList) {
  EXPECT_EQ(ReadFlagBits("\\Seen \\Answered $Label"), 3);
  EXPECT_EQ(ReadFlagBits("\\Recent"), 32);
  EXPECT_EQ(ReadFlagBits("\\Flagged \\Deleted \\Draft"), 28);
  EXPECT_EQ(ReadFlagBits("\\SEEN"), 1);
  EXPECT_EQ(ReadFlagBits("\\* Seen \\Seeny"), 0);
  EXPECT_EQ(ReadFlagBits(""), 0);
}

}  // namespace
}  // namespace vesk
