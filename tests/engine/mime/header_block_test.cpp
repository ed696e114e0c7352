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
        ReadCase{"TabAfterColon", "Subject:\tx\r\n\r\n", {{"Subject", "x"}}, ""},
        ReadCase{"NothingAfterColon", "Subject:\r\nTo: b\r\n\r\n", {{"Subject", ""}, {"To", "b"}}, ""},
        ReadCase{"EndsWithoutEmptyLine", "A: 1\r\nB: 2\r\n", {{"A", "1"}, {"B", "2"}}, ""},
        ReadCase{"LastLineWithoutLf", "A: 1\r\nB: 2", {{"A", "1"}, {"B", "2"}}, ""},
        ReadCase{"SameNameTwice", "Received: 1\r\nReceived: 2\r\n\r\n", {{"Received", "1"}, {"Received", "2"}}, ""},
        ReadCase{"LineStartingWithColon", ": empty name\r\n\r\n", {{"", "empty name"}}, ""},
        ReadCase{"NameKeptAsItStands", "X-Name : v:w\r\n\r\n", {{"X-Name ", "v:w"}}, ""},
        ReadCase{"LineWithoutColonEndsTheBlock", "A: 1\r\nno colon here\r\nbody\r\n", {{"A", "1"}}, "body\r\n"},
        ReadCase{"ContinuationWithoutFieldEndsTheBlock", " folded: x\r\n\r\n", {{" folded", "x"}}, ""},
        ReadCase{"EmptyInput", "", {}, ""},
        ReadCase{"EmptyLineFirst", "\r\nA: 1\r\n", {}, "A: 1\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string Written(FieldList& list) {
  StringStream stream;
  list.WriteHeaderBlock(stream);
  return stream.TakeText();
}

TEST(HeaderBlockWrite, WritesNameColonSpaceValueAndCrLf) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("Subject", "hi");
  list->Add("", "empty name");
  list->Add("X-Empty", "");
  EXPECT_EQ(Written(*list), "Subject: hi\r\n: empty name\r\nX-Empty: \r\n");
  EXPECT_EQ(Written(*MakeRef<FieldList>()), "");
}

TEST(HeaderBlockWrite, ValuesAreReadThroughTheHook) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("To", "stored");
  list->SetHook([](void*, FieldList&, size_t, std::string& text, HookMode mode) {
    if (mode == HookMode::kRead) text = "rendered";
    return 1;
  }, nullptr);
  EXPECT_EQ(Written(*list), "To: rendered\r\n");
}

// Line breaks inside a value never end the field: every one is written as
// CR LF followed by white space.
TEST(HeaderBlockWrite, LineBreaksInValuesBecomeContinuationLines) {
  struct Case {
    const char* value;
    const char* wire;
  };
  const Case cases[] = {
      {"a\n\tb", "a\r\n\tb"},                  // folded on reading: unchanged apart from the CR
      {"a\n b", "a\r\n b"},
      {"a\nBcc: x@y", "a\r\n Bcc: x@y"},       // would otherwise be a field of its own
      {"a\r\nb", "a\r\n b"},
      {"a\rb", "a\r\n b"},
      {"a\n\nb", "a\r\n \r\n b"},              // never an empty line
      {"end\n", "end\r\n "},
      {"\n", "\r\n "},
  };
  for (const Case& c : cases) {
    const Ref<FieldList> list = MakeRef<FieldList>();
    list->Add("X", c.value);
    EXPECT_EQ(Written(*list), std::string("X: ") + c.wire + "\r\n") << c.value;
  }
}

TEST(HeaderBlockWrite, HostileValuesReadBackAsOneFieldEach) {
  const char* values[] = {"x\r\n\r\nbody", "x\nTo: victim", "\r\r\n\n", "a\n\tb\nc"};
  const Ref<FieldList> list = MakeRef<FieldList>();
  for (const char* value : values) list->Add("X-Test", value);
  list->Add("Last", "z");
  StringStream stream(Written(*list) + "\r\nbody\r\n");
  const Ref<FieldList> read = MakeRef<FieldList>();
  read->ReadHeaderBlock(stream);
  ASSERT_EQ(read->Count(), std::size(values) + 1);
  for (size_t i = 0; i < read->Count(); ++i) {
    EXPECT_EQ(read->At(i)->name(), i + 1 < read->Count() ? "X-Test" : "Last");
  }
  EXPECT_EQ(read->At(3)->stored_value(), "a\n\tb\n c");
  std::string line;
  ASSERT_TRUE(stream.ReadLine(line));
  EXPECT_EQ(line, "body");
}

TEST(HeaderBlock, ReadThenWriteGivesTheTextBack) {
  const std::string text =
      "Received: from a\r\n\tby b\r\nReceived: from c\r\nSubject:  two blanks\r\n: odd\r\nX: \r\n";
  StringStream stream(text + "\r\n");
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->ReadHeaderBlock(stream);
  // The one blank after the colon is always written, so "X:" style lines gain
  // nothing and lines with one blank are unchanged.
  EXPECT_EQ(Written(*list), text);
}

TEST(HeaderBlock, LargeBlocksAreReadAndWrittenWhole) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "X-Field-" + std::to_string(i) + ": value\r\n";
  StringStream stream(text + "\r\n");
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->ReadHeaderBlock(stream);
  ASSERT_EQ(list->Count(), 20000u);
  EXPECT_EQ(list->At(19999)->name(), "X-Field-19999");
  EXPECT_EQ(Written(*list), text);
}

}  // namespace
}  // namespace vesk
