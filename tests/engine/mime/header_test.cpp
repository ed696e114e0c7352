#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/field_list.h"
#include "engine/streams/string_stream.h"

namespace vesk {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields AllFields(FieldList& list) {
  Fields fields;
  for (size_t i = 0; i < list.Count(); ++i) fields.emplace_back(list.At(i)->name(), list.At(i)->ReadValue());
  return fields;
}

std::string Written(FieldList& list) {
  StringStream stream;
  list.WriteHeaderBlock(stream);
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
        ReadCase{"EmptyLineFirst", "\r\nA: 1\r\n", {}, "A: 1\r\n"}),
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
  const char* hostile[] = {"x\r\n\r\nbody", "x\nTo: victim", "\r\r\n\n", "a\n\tb\nc"};
  const Ref<FieldList> list = MakeRef<FieldList>();
  for (const char* value : hostile) list->Add("X-Test", value);
  StringStream stream(Written(*list) + "\r\nbody\r\n");
  const Ref<FieldList> read = MakeRef<FieldList>();
  read->ReadHeaderBlock(stream);
  ASSERT_EQ(read->Names(), (std::vector<std::string>(4, "X-Test"))) << "one field each";
  EXPECT_EQ(read->At(3)->stored_value(), "a\n\tb\n c");
}

}  // namespace
}  // namespace vesk
