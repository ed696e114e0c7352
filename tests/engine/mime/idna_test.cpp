#include "engine/mime/idna.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vesk {
namespace {

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
