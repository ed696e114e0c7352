// Header fields: the field list, the header block read and written, values
// outside ASCII as encoded-words, and the dates of the Date field (written
// in the RFC 5322 form, read in it and in its obsolete forms).
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/encoded_words.h"
#include "engine/mime/field_list.h"
#include "engine/mime/mail_dates.h"
#include "engine/streams/string_stream.h"
#include "support/mime_tree.h"

namespace vesk {
namespace {

using testing::AllFields;
using testing::Fields;

std::string Written(FieldList& list) {
  StringStream stream;
  list.WriteHeaderBlock(stream, DefaultTextMode());
  return stream.TakeText();
}

TEST(FieldList, LookupsFindTheFirstMatchIgnoringAsciiCaseOnly) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("Received", "one");
  list->Add("RECEIVED", "two");
  list->Add("X-\xC4", "upper umlaut");
  list->Add(" Subject", "leading blank");
  std::string value = "untouched";
  EXPECT_FALSE(list->Get("Missing", value));
  EXPECT_EQ(value, "untouched");
  ASSERT_TRUE(list->Get("received", value));
  EXPECT_EQ(value, "one");
  EXPECT_FALSE(list->Find("X-\xE4")) << "bytes above 0x7F are not folded";
  EXPECT_FALSE(list->Find("Subject")) << "names are not trimmed";
  list->Set("rEcEiVeD", "new");
  EXPECT_EQ(AllFields(*list), (Fields{{"Received", "new"}, {"RECEIVED", "two"}, {"X-\xC4", "upper umlaut"},
                                      {" Subject", "leading blank"}}));
  EXPECT_TRUE(list->Remove("received"));
  ASSERT_TRUE(list->Get("Received", value));
  EXPECT_EQ(value, "two") << "after removing the first, the second is found";
  EXPECT_TRUE(list->Rename(" subject", "Received"));
  EXPECT_EQ(list->Names(), (std::vector<std::string>{"RECEIVED", "X-\xC4", "Received"}));
}

TEST(FieldList, FieldNamesThatCouldStartAnotherFieldAreRefused) {
  for (const char* name : {"Subject", "", "X-With Space", "\xE9t\xE9"}) EXPECT_TRUE(IsAcceptableFieldName(name));
  for (const char* name : {"Bad:Name", ":", "Bcc\r\nX", "A\nB", "A\r"}) EXPECT_FALSE(IsAcceptableFieldName(name));
}

struct ReadCase {
  const char* name;
  const char* text;
  Fields expected;
  const char* rest;  // what the stream still holds after the block
};

class HeaderBlockReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(HeaderBlockReadTest, ReadsFieldsAndStopsAtTheRightLine) {
  const ReadCase& c = GetParam();
  StringStream stream(c.text);
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->ReadHeaderBlock(stream);
  EXPECT_EQ(AllFields(*list), c.expected);
  EXPECT_EQ(stream.text().substr(stream.position()), c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    HeaderBlock, HeaderBlockReadTest,
    ::testing::Values(
        ReadCase{"Folded", "Subject: a\r\n\tb\r\n\r\nbody\r\n", {{"Subject", "a\n\tb"}}, "body\r\n"},
        ReadCase{"FoldedTwiceWithSpaces", "X: 1\n  2\n 3\nY: 4\n\n", {{"X", "1\n  2\n 3"}, {"Y", "4"}}, ""},
        ReadCase{"NoSpaceAfterColon", "Subject:x\r\n\r\n", {{"Subject", "x"}}, ""},
        ReadCase{"OnlyOneBlankDropped", "Subject: \t x \r\n\r\n", {{"Subject", "\t x "}}, ""},
        ReadCase{"EndsWithoutEmptyLine", "A: 1\r\nB: 2\r\n", {{"A", "1"}, {"B", "2"}}, ""},
        ReadCase{"LastLineWithoutLf", "A: 1\r\nB: 2", {{"A", "1"}, {"B", "2"}}, ""},
        ReadCase{"LineStartingWithColon", ": empty name\r\n\r\n", {{"", "empty name"}}, ""},
        ReadCase{"NameKeptAsItStands", "X-Name : v:w\r\n\r\n", {{"X-Name ", "v:w"}}, ""},
        ReadCase{"LineWithoutColonEndsTheBlock", "A: 1\r\nno colon here\r\nbody\r\n", {{"A", "1"}}, "body\r\n"},
        ReadCase{"ContinuationWithoutFieldEndsTheBlock", " folded: x\r\n\r\n", {{" folded", "x"}}, ""},
        ReadCase{"EmptyLineFirst", "\r\nA: 1\r\n", {}, "A: 1\r\n"},
        // As the writer continues values that hold line breaks.
        ReadCase{"ContinuationsBlankOrHoldingAColon", "X: x\r\n \r\n body\r\nY: \r\n \r\n To: v\r\n\r\n",
                 {{"X", "x\n \n body"}, {"Y", "\n \n To: v"}}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Line breaks inside a value never end the field: every one is written as
// CR LF followed by white space.
TEST(HeaderBlock, LineBreaksInValuesBecomeContinuationLines) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\n\tb", "a\r\n\tb"},  {"a\n b", "a\r\n b"}, {"a\nBcc: x@y", "a\r\n Bcc: x@y"}, {"a\r\nb", "a\r\n b"},
      {"a\rb", "a\r\n b"},     {"a\n\nb", "a\r\n \r\n b"},  // never an empty line
      {"end\n", "end\r\n "},   {"", ""}};
  for (const auto& [value, wire] : cases) {
    const Ref<FieldList> list = MakeRef<FieldList>();
    list->Add("X", value);
    EXPECT_EQ(Written(*list), std::string("X: ") + wire + "\r\n") << value;
  }
}

// Header values with UTF-8 text outside ASCII go on the wire as encoded-words.
TEST(EncodedWords, OnlyWhatNeedsItIsEncoded) {
  const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
      {{"Subject", "plain ASCII stays\n\tfolded as it was"}, "plain ASCII stays\n\tfolded as it was"},
      {{"Subject", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"}, "=?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="},
      {{"Subject", "Re: Gr\xC3\xBC\xC3\x9F" "e, Anna!"}, "Re: =?utf-8?B?R3LDvMOfZSw=?= Anna!"},
      {{"Subject", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}, "=?utf-8?B?5pel5pys6Kqe?="},
      {{"Subject", "Privatsph\xC3\xA4re"}, "=?utf-8?Q?Privatsph=C3=A4re?="},  // Q is shorter here
      {{"From", "\"J\xC3\xB6rg, Sr.\" <j@example.com>, bob@example.com"},
       "=?utf-8?B?SsO2cmcsIFNyLg==?= <j@example.com>,\r\n bob@example.com"},
      {{"To", "J\xC3\xB6rg <j\xC3\xB6@example.com>"}, "J\xC3\xB6rg <j\xC3\xB6@example.com>"},  // cannot encode
      {{"X-Note", "a=?b?= \xC3\xA9"}, "a=?b?= =?utf-8?B?w6k=?="},
      // Bytes that are not UTF-8 (a loaded message's ISO-8859-1) are never labelled utf-8.
      {{"Subject", "Gr\xFC\xDF" "e aus K\xF6ln"}, "Gr\xFC\xDF" "e aus K\xF6ln"},
      {{"From", "\"Gr\xFC\xDF" "e\" <a@example.com>, bob@example.com"},
       "\"Gr\xFC\xDF" "e\" <a@example.com>, bob@example.com"},
  };
  for (const auto& [field, wire] : cases) {
    EXPECT_EQ(WireHeaderValue(field.first, field.second, DefaultTextMode()), wire) << field.second;
  }
}

std::string Runs(std::string_view text) {
  std::string out;
  for (const HeaderTextRun& run : DecodeEncodedWords(text)) out += "[" + run.charset + ":" + run.bytes + "]";
  return out;
}

TEST(EncodedWords, ReadBackIntoRunsOfCharsetAndBytesAndLongValuesFoldWithinTheLimit) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "[:plain]"},
      {"=?ISO-8859-1?Q?Gr=FC=DFe_aus?= K=F6ln", "[iso-8859-1:Gr\xFC\xDF" "e aus][: K=F6ln]"},
      {"=?utf-8?B?R3LDvMOfZQ==?=\r\n =?utf-8?Q?_aus?=", "[utf-8:Gr\xC3\xBC\xC3\x9F" "e aus]"},  // joined
      {"a =?utf-8*en?b?w6k?= b", "[:a ][utf-8:\xC3\xA9][: b]"},  // a language, no padding
      {"=?utf-8?Q?a?= x =?utf-8?Q?b?=", "[utf-8:a][: x ][utf-8:b]"},
      {"=?utf-8?X?abc?= =?utf-8?Q?has space?= =??Q?a?=", "[:=?utf-8?X?abc?= =?utf-8?Q?has space?= =??Q?a?=]"},
  };
  for (const auto& [text, runs] : cases) EXPECT_EQ(Runs(text), runs) << text;
  // What the writer makes of a long value folds within the line limit and
  // reads back as the text it was given.
  std::string subject = "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC " + std::string(60, 'x') + " ";
  for (int i = 0; i < 40; ++i) subject += "\xC3\xA9t\xC3\xA9 ";  // "été "
  const std::string wire = WireHeaderValue("Subject", subject, DefaultTextMode());
  std::string back;
  for (const HeaderTextRun& run : DecodeEncodedWords(wire)) back += run.bytes;
  EXPECT_EQ(back, subject);
  std::istringstream lines("Subject: " + wire);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_LE(line.size() - (line.back() == '\r'), 78u) << line;
  }
  EXPECT_GT(count, 3);
}

std::string Utc(std::string_view text) {
  CivilTime utc;
  if (!ParseMailDate(text, utc)) return "not a date";
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", utc.year, utc.month, utc.day, utc.hour,
                utc.minute, utc.second);
  return out;
}

TEST(MailDates, WrittenWithDayNameAndZoneOffset) {
  EXPECT_EQ(FormatMailDate({2026, 12, 6, 13, 46, 5}, 60), "Sun, 06 Dec 2026 13:46:05 +0100");
  EXPECT_EQ(FormatMailDate({2000, 2, 29, 0, 0, 0}, -570), "Tue, 29 Feb 2000 00:00:00 -0930");
  EXPECT_EQ(Utc(FormatMailDate({1999, 12, 31, 23, 59, 59}, -480)), "2000-01-01 07:59:59");
}

TEST(MailDates, ReadInEveryFormToUtc) {
  const std::pair<const char*, const char*> cases[] = {
      {"Sun, 06 Dec 2026 13:46:05 +0100", "2026-12-06 12:46:05"},
      {"6 Dec 2026 13:46 -0000", "2026-12-06 13:46:00"},  // no day name, no seconds
      {"  Tue,  1 Jul 2003 10:52:37 +0200 (CEST)", "2003-07-01 08:52:37"},
      {"Fri, 21 Nov 97 09:55:06 GMT", "1997-11-21 09:55:06"},  // obsolete: two-digit year, zone name
      {"Fri, 21 Nov 49 09:55:06 EST", "2049-11-21 14:55:06"},
      {"Thu, 13 Feb 103 23:32 PST", "2003-02-14 07:32:00"},  // three-digit year
      {"Mon, 01 Jan 2007 00:00:00 Z", "2007-01-01 00:00:00"},  // military zone counts as -0000
      {"wed, 31 dec 2025 23:59:60 +0000", "2025-12-31 23:59:59"},  // any case; a leap second
      {"Sat, 1 Jan 2000 00:30:00 +0100", "1999-12-31 23:30:00"},
  };
  for (const auto& [text, utc] : cases) EXPECT_EQ(Utc(text), utc) << text;
  for (const char* not_a_date : {"", "12/6/2026 11:53:19 AM", "Sun 06 Dec 2026 13:46:05 +0100",
                                 "Sun, 31 Feb 2026 10:00:00 +0000", "06 Dec 2026 25:00:00 +0000",
                                 "06 Dec 2026 10:00:00 +01", "06 Dec 2026 10:00:00 +0100 trailing",
                                 "Son, 06 Dec 2026 10:00:00 +0000"}) {
    EXPECT_EQ(Utc(not_a_date), "not a date") << not_a_date;
  }
}

}  // namespace
}  // namespace vesk
