// Address lists, the syntax check of an address, and international domain
// names (Punycode, A-labels, UTF-8).
#include "engine/mime/addresses.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/mime/idna.h"

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
  // An address given in the display-name form is taken apart as read.
  list.Add()->SetAddress("Bob <bob@localhost>");
  list.Add()->SetAddress("<ann@localhost>");
  EXPECT_EQ(list.Item(0)->Address() + "|" + list.Item(0)->Name(), "bob@localhost|Bob");
  EXPECT_EQ(list.RenderedText(), "\"Bob\" <bob@localhost>, ann@localhost");
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

// The samples of RFC 3492 section 7.1 (the basic code points keep their case).
TEST(Punycode, EncodesTheSamplesOfItsDefinition) {
  const std::pair<std::u32string, std::string> samples[] = {
      {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
       "egbpdaj6bu4bxfgehfvwxn"},
      {U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
      {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
      {U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
      {U"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
      {U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
      {U"-> $1.00 <-", "-> $1.00 <--"},
      {U"", ""},
  };
  for (const auto& [input, expected] : samples) EXPECT_EQ(PunycodeEncode(input), expected) << expected;
  EXPECT_EQ(PunycodeEncode(std::u32string(1, char32_t{0xD800})), std::nullopt);
  EXPECT_EQ(PunycodeEncode(std::u32string(1, char32_t{0x110000})), std::nullopt);
}

TEST(Idna, DomainsBecomeTheirALabels) {
  const std::pair<std::string, std::string> pairs[] = {
      {"m\xC3\xBCller.example", "xn--mller-kva.example"},
      // Capitals are made small first: M\xC3\x9C is the same label.
      {"M\xC3\x9CLLER.Example", "xn--mller-kva.Example"},
      {"b\xC3\xBC" "cher.de", "xn--bcher-kva.de"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.jp", "xn--wgv71a119e.jp"},
      {"\xD0\xBF\xD1\x80\xD0\xB0\xD0\xB2\xD0\xB8\xD1\x82\xD0\xB5\xD0\xBB\xD1\x8C\xD1\x81\xD1\x82\xD0\xB2\xD0\xBE."
       "\xD1\x80\xD1\x84",
       "xn--80aealotwbjpid2k.xn--p1ai"},
      {"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x9C\xD0\x95\xD0\xA0.test", "xn--e1afmkfd.test"},
      // The ideographic full stop separates labels as "." does.
      {"\xE4\xBE\x8B\xE3\x81\x88\xE3\x80\x82\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", "xn--r8jz45g.xn--zckzah"},
      {"mail.m\xC3\xBCller.example.", "mail.xn--mller-kva.example"},
      {"plain.example", "plain.example"},
  };
  for (const auto& [domain, ascii] : pairs) EXPECT_EQ(DomainToAscii(domain), ascii) << ascii;
}

TEST(Idna, RefusesWhatCannotBeAHostName) {
  const std::string refused[] = {
      "",
      "m\xFCller.example",               // ISO-8859-1, not UTF-8
      "m\xC3\xBC\xC3",                   // cut in the middle of a character
      "\xC0\xAE.example",                // overlong form of "."
      "\xED\xA0\x80.example",            // a surrogate
      "m\xC3\xBCller..example",          // empty label
      "-m\xC3\xBCller.example",          // leading hyphen
      "m\xC3\xBCller example",           // space
      "m\xC3\xBCller@example",           // would end the address
      "m\xC3\xBCller.ex\r\nample",       // line break
      "m\xC3\xBCller\xC2\xA0.example",   // no-break space
      std::string(60, 'a') + "\xC3\xBC",  // A-label longer than 63 octets
  };
  for (const std::string& domain : refused) EXPECT_EQ(DomainToAscii(domain), std::nullopt) << domain;
  std::string long_name;
  for (int i = 0; i < 40; ++i) long_name += "\xC3\xBC" "abc.";
  EXPECT_EQ(DomainToAscii(long_name + "x"), std::nullopt);  // 41 labels of 14 octets: beyond 253
}

TEST(Utf8, DecodesWellFormedTextOnly) {
  EXPECT_EQ(DecodeUtf8("a\xC3\xB6\xE2\x82\xAC\xF0\x9F\x98\x80"), std::u32string(U"a\u00F6\u20AC\U0001F600"));
  for (const char* bad : {"\x80", "\xC3", "\xE2\x82", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC1\xBF"}) {
    EXPECT_EQ(DecodeUtf8(bad), std::nullopt) << bad;
  }
  EXPECT_TRUE(HasNonAscii("j\xC3\xB6rg"));
  EXPECT_FALSE(HasNonAscii("jorg"));
}

}  // namespace
}  // namespace vesk
