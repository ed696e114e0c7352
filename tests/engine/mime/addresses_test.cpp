#include "engine/mime/addresses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;  // name, address

Entries EntriesOf(AddressList& list) {
  Entries entries;
  for (std::size_t i = 0; i < list.Count(); ++i) entries.emplace_back(list.Item(i)->Name(), list.Item(i)->Address());
  return entries;
}

struct HeaderCase {
  const char* name;
  std::string header;
  Entries entries;
};

class AddressHeaders : public ::testing::TestWithParam<HeaderCase> {};

// Looking inside a header leaves its text byte for byte.
TEST_P(AddressHeaders, SplitIntoEntriesAndKeepTheirText) {
  AddressList list(GetParam().header);
  EXPECT_EQ(EntriesOf(list), GetParam().entries);
  EXPECT_FALSE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), GetParam().header);
}

INSTANTIATE_TEST_SUITE_P(
    AddressList, AddressHeaders,
    ::testing::ValuesIn(std::vector<HeaderCase>{
        {"QuotedNameWithCommaThenBareAddress", "\"Doe, John\" <john@example.com>, jane@example.com",
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
        {"EscapedQuoteDoesNotEndTheQuotes", R"("a\",b" <x@y.zz>, c@d.ee)", {{"a\",b", "x@y.zz"}, {"", "c@d.ee"}}},
        {"BackslashOutsideQuotesIsPlain", R"(Jo\hn <x@y.zz>, c@d.ee)", {{"Jo\\hn", "x@y.zz"}, {"", "c@d.ee"}}},
        {"AngleInsideQuotesBelongsToTheName", "\"Doe <doe@x>\" <doe@y.zz>", {{"Doe <doe@x>", "doe@y.zz"}}},
        {"UnbalancedQuoteFallsBackToTheFirstAngle", "Jo\"hn <x@y.zz>", {{"Jo\"hn", "x@y.zz"}}},
        {"CommaInsideUnterminatedQuotes", "\"a, b@c.dd", {{"", "\"a, b@c.dd"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Only changed entries are rebuilt: a name as a quoted string with quoted
// pairs, or left out; the others keep their text.
TEST(AddressList, EditsRebuildOnlyTheChangedEntries) {
  AddressList list("x@y.zz ,  \"A\" <a@b.cc>,c@d.ee");
  list.Item(1)->SetAddress("new@b.cc");
  EXPECT_TRUE(list.IsChanged());
  EXPECT_EQ(list.RenderedText(), "x@y.zz , \"A\" <new@b.cc>, c@d.ee");
  EXPECT_FALSE(list.IsChanged());
  list.Item(2)->SetName(R"(Sam "The Man" O\Neil)");
  list.Item(1)->SetName("");
  EXPECT_EQ(list.RenderedText(), R"(x@y.zz , new@b.cc, "Sam \"The Man\" O\\Neil" <c@d.ee>)");
  EXPECT_FALSE(list.Remove(3));
  EXPECT_TRUE(list.Remove(1));
  list.Add()->SetName("Third");
  EXPECT_EQ(list.RenderedText(), R"(x@y.zz , "Sam \"The Man\" O\\Neil" <c@d.ee>, "Third" <>)");
  const Ref<AddressItem> held = list.Item(0);
  list.SetText("z@y.xx");
  EXPECT_EQ(held->Address(), "x@y.zz") << "items held by callers live on";
  held->SetName("Gone");
  EXPECT_EQ(list.RenderedText(), "z@y.xx");
  list.Clear();
  EXPECT_EQ(list.RenderedText(), "");
  EXPECT_FALSE(list.Item(0));
}

TEST(AddressList, SyntaxCheckFollowsItsRule) {
  const std::pair<std::string, bool> cases[] = {
      {"John_Doe-X@Example.COM", true}, {"@example.com", true},        {"j@abc.d", true},
      {"john2@example.com", false},     {"john@ex4mple.com", false},   {"j@ab.com", false},
      {"j@examplecom", false},          {"john+tag@example.com", false}, {"a@b@example.com", false},
      {"", false},                      {"john@example.com\r\n", false},
      {std::string(79, 'l') + "@example.com", true},  {std::string(80, 'l') + "@example.com", false},
      {"l@" + std::string(75, 'd') + ".com", true},   {"l@" + std::string(76, 'd') + ".com", false}};
  for (const auto& [address, valid] : cases) {
    AddressParts parts;
    EXPECT_EQ(CheckAddressSyntax(address, &parts), valid) << address;
    if (valid) EXPECT_EQ(parts.local_part + "@" + parts.domain, address);
  }
}

}  // namespace
}  // namespace vesk
