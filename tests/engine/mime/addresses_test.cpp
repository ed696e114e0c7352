#include "engine/mime/addresses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

struct Entry {
  std::string name;
  std::string address;
  friend bool operator==(const Entry&, const Entry&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{\"" << e.name << "\", \"" << e.address << "\"}";
  }
};

std::vector<Entry> EntriesOf(AddressList& list) {
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    Ref<AddressItem> item = list.Item(i);
    entries.push_back({item->Name(), item->Address()});
  }
  return entries;
}

struct HeaderCase {
  const char* name;
  std::string header;
  std::vector<Entry> entries;
};

std::vector<HeaderCase> HeaderCases() {
  return {
      {"QuotedNameHoldingACommaThenBareAddress",
       "\"Doe, John\" <john@example.com>, jane@example.com",
       {{"Doe, John", "john@example.com"}, {"", "jane@example.com"}}},
      {"Empty", "", {}},
      {"TrailingCommaMakesNoItem", "a@b.cc,", {{"", "a@b.cc"}}},
      {"TwoCommasMakeAnEmptyItem", "a@b.cc,,c@d.ee", {{"", "a@b.cc"}, {"", ""}, {"", "c@d.ee"}}},
      {"LeadingCommaMakesAnEmptyFirstItem", ",a@b.cc", {{"", ""}, {"", "a@b.cc"}}},
      {"CommaThenSpaceAtTheEnd", "a@b.cc, ", {{"", "a@b.cc"}, {"", ""}}},
      {"SemicolonSeparatesNothing", "a@b.cc; c@d.ee", {{"", "a@b.cc; c@d.ee"}}},
      {"AngleAddressWithoutName", "<john@x.com>", {{"", "john@x.com"}}},
      {"UnquotedName", "John Doe <john@x.com>", {{"John Doe", "john@x.com"}}},
      {"WhiteSpaceAround", " \t\"John\"   <john@x.com> \r\n", {{"John", "john@x.com"}}},
      {"TextAfterTheAngleStaysInTheAddress", "John <j@x.com> extra", {{"John", "j@x.com> extra"}}},
      {"CommentIsNotRecognised", "j@x.com (John)", {{"", "j@x.com (John)"}}},
      {"EscapedQuoteInName", R"("a\"b" <x@y.zz>)", {{"a\"b", "x@y.zz"}}},
      {"EscapedQuoteAtTheEndOfTheName", R"("ab\"" <x@y.zz>)", {{"ab\"", "x@y.zz"}}},
      {"EscapedBackslashAtTheEndOfTheName", R"("ab\\" <x@y.zz>)", {{"ab\\", "x@y.zz"}}},
      {"EscapedQuoteDoesNotEndTheQuotes", R"("a\",b" <x@y.zz>, c@d.ee)",
       {{"a\",b", "x@y.zz"}, {"", "c@d.ee"}}},
      {"BackslashOutsideQuotesIsPlain", R"(Jo\hn <x@y.zz>, c@d.ee)",
       {{"Jo\\hn", "x@y.zz"}, {"", "c@d.ee"}}},
      {"AngleInsideQuotesBelongsToTheName", "\"Doe <doe@x>\" <doe@y.zz>",
       {{"Doe <doe@x>", "doe@y.zz"}}},
      {"UnbalancedQuoteFallsBackToTheFirstAngle", "Jo\"hn <x@y.zz>", {{"Jo\"hn", "x@y.zz"}}},
      {"CommaInsideUnterminatedQuotes", "\"a, b@c.dd", {{"", "\"a, b@c.dd"}}},
  };
}

class AddressHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(AddressHeaders, SplitAndParseIntoEntries) {
  AddressList list(GetParam().header);
  EXPECT_EQ(EntriesOf(list), GetParam().entries);
}

TEST_P(AddressHeaders, LookingInsideLeavesTheTextByteForByte) {
  AddressList list(GetParam().header);
  EntriesOf(list);
  EXPECT_FALSE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), GetParam().header);
}

INSTANTIATE_TEST_SUITE_P(AddressList, AddressHeaders, ::testing::ValuesIn(HeaderCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AddressList, NameWrittenAsQuotedStringOrLeftOut) {
  AddressList list("<bob@x.com>");
  Ref<AddressItem> item = list.Item(0);
  item->SetName("Bob Smith");
  EXPECT_EQ(list.RenderedText(), "\"Bob Smith\" <bob@x.com>");
  item->SetName("");
  EXPECT_EQ(list.RenderedText(), "bob@x.com");
}

TEST(AddressList, OnlyChangedEntriesAreRebuilt) {
  AddressList list("x@y.zz ,  \"A\" <a@b.cc>,c@d.ee");
  list.Item(1)->SetAddress("new@b.cc");
  EXPECT_TRUE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), "x@y.zz , \"A\" <new@b.cc>, c@d.ee");
  EXPECT_FALSE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), "x@y.zz , \"A\" <new@b.cc>, c@d.ee");
}

TEST(AddressList, AddRemoveAndClear) {
  AddressList list;
  Ref<AddressItem> added = list.Add();
  added->SetAddress("first@x.com");
  EXPECT_EQ(list.RenderedText(), "first@x.com");
  list.Add()->SetAddress("second@x.com");
  list.Add()->SetName("Third");
  EXPECT_EQ(list.RenderedText(), "first@x.com, second@x.com, \"Third\" <>");

  EXPECT_FALSE(list.Remove(3));
  EXPECT_FALSE(list.IsChanged());
  EXPECT_TRUE(list.Remove(1));
  EXPECT_EQ(list.RenderedText(), "first@x.com, \"Third\" <>");

  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.RenderedText(), "");
  EXPECT_FALSE(list.Item(0));
}

TEST(AddressList, NewTextDropsItemsButHeldItemsLiveOn) {
  AddressList list("a@b.cc, c@d.ee");
  Ref<AddressItem> held = list.Item(1);
  list.SetText("z@y.xx");
  EXPECT_EQ(held->Address(), "c@d.ee");
  EXPECT_EQ(held->RefCount(), 1u);
  held->SetName("Gone");
  EXPECT_FALSE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), "z@y.xx");
  EXPECT_EQ(EntriesOf(list), (std::vector<Entry>{{"", "z@y.xx"}}));
}

// A display name from an untrusted form must stay one display name: written
// as a quoted string with quoted pairs, and read back by the same rules.
TEST(AddressList, HostileDisplayNamesCannotAddRecipients) {
  const std::vector<std::string> names = {
      R"(a", <x@evil.example>, "b)",
      R"(a\", <x@evil.example>, \"b)",
      R"(\)",
      R"(")",
      R"(x" <evil@example.com>)",
      "<x@evil.example>",
      "trailing backslash\\",
  };
  for (const std::string& name : names) {
    AddressList list("first@x.com");
    Ref<AddressItem> item = list.Add();
    item->SetName(name);
    item->SetAddress("real@example.com");
    list.Add()->SetAddress("last@x.com");

    AddressList reread(list.RenderedText());
    std::vector<Entry> expected = {{"", "first@x.com"}, {name, "real@example.com"}, {"", "last@x.com"}};
    EXPECT_EQ(EntriesOf(reread), expected) << list.RenderedText();
  }
}

TEST(AddressList, QuotesAndBackslashesInNamesAreEscaped) {
  AddressList list;
  Ref<AddressItem> item = list.Add();
  item->SetName(R"(Sam "The Man" O\Neil)");
  item->SetAddress("sam@x.com");
  EXPECT_EQ(list.RenderedText(), R"("Sam \"The Man\" O\\Neil" <sam@x.com>)");
}

struct SyntaxCase {
  std::string address;
  bool valid;
};

class AddressSyntax : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(AddressSyntax, FollowsTheCheckRule) {
  AddressParts parts;
  EXPECT_EQ(CheckAddressSyntax(GetParam().address, &parts), GetParam().valid) << GetParam().address;
  if (GetParam().valid) EXPECT_EQ(parts.local_part + "@" + parts.domain, GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    AddressCheck, AddressSyntax,
    ::testing::Values(SyntaxCase{"john.doe@example.com", true},
                      SyntaxCase{"John_Doe-X@Example.COM", true},
                      SyntaxCase{"@example.com", true},
                      SyntaxCase{"j@abc.d", true},
                      SyntaxCase{"john2@example.com", false},
                      SyntaxCase{"john@ex4mple.com", false},
                      SyntaxCase{"j@a.com", false},
                      SyntaxCase{"j@ab.com", false},
                      SyntaxCase{"j@abc.com", true},
                      SyntaxCase{"j@examplecom", false},
                      SyntaxCase{"j@a.bc", false},
                      SyntaxCase{"john+tag@example.com", false},
                      SyntaxCase{"a@b@example.com", false},
                      SyntaxCase{"john", false},
                      SyntaxCase{"", false},
                      SyntaxCase{"jo hn@example.com", false},
                      SyntaxCase{"john@example.com\r\n", false},
                      SyntaxCase{std::string(79, 'l') + "@example.com", true},
                      SyntaxCase{std::string(80, 'l') + "@example.com", false},
                      SyntaxCase{"l@" + std::string(75, 'd') + ".com", true},
                      SyntaxCase{"l@" + std::string(76, 'd') + ".com", false},
                      SyntaxCase{std::string(300, 'l') + "@example.com", false}));

}  // namespace
}  // namespace vesk
