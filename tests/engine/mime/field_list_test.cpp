#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/field_list.h"

namespace vesk {
namespace {

// An owner hook that records its calls and, for the field names it is told
// to handle, rewrites the text.
struct RecordingOwner {
  struct Call {
    std::string name;
    size_t position;
    std::string text;
    HookMode mode;
  };
  std::vector<Call> calls;
  std::string handled_name;     // empty: handle nothing
  std::string read_result;      // text given back for a handled read
  std::string write_prefix;     // put before a handled write

  static int Hook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode) {
    auto* self = static_cast<RecordingOwner*>(context);
    const std::string name = list.At(position)->name();
    self->calls.push_back({name, position, text, mode});
    if (name != self->handled_name) return 0;
    if (mode == HookMode::kRead) {
      text = self->read_result;
    } else {
      text = self->write_prefix + text;
    }
    return 1;
  }

  Ref<FieldList> MakeList() {
    Ref<FieldList> list = MakeRef<FieldList>();
    list->SetHook(&RecordingOwner::Hook, this);
    return list;
  }
};

TEST(FieldList, LookupsFindTheFirstMatchIgnoringAsciiCaseOnly) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("Received", "one");
  list->Add("RECEIVED", "two");
  list->Add("X-\xC4", "upper umlaut");
  list->Add(" Subject", "leading blank");
  std::string value;
  ASSERT_TRUE(list->Get("received", value));
  EXPECT_EQ(value, "one");
  EXPECT_EQ(list->Find("rEcEiVeD"), 0u);
  EXPECT_FALSE(list->Find("X-\xE4")) << "bytes above 0x7F are not folded";
  EXPECT_FALSE(list->Find("Subject")) << "names are not trimmed";
  EXPECT_EQ(list->Find(" subject"), 3u);
  value = "untouched";
  EXPECT_FALSE(list->Get("Missing", value));
  EXPECT_EQ(value, "untouched");
}

TEST(FieldList, SetOverwritesTheFirstMatchAndKeepsItsName) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("Subject", "old");
  list->Add("subject", "second");
  list->Set("SUBJECT", "new");
  ASSERT_EQ(list->Count(), 2u);
  EXPECT_EQ(list->At(0)->name(), "Subject");
  EXPECT_EQ(list->At(0)->stored_value(), "new");
  EXPECT_EQ(list->At(1)->stored_value(), "second");
  list->Set("X-New", "appended");
  ASSERT_EQ(list->Count(), 3u);
  EXPECT_EQ(list->At(2)->name(), "X-New");
}

TEST(FieldList, RemoveRenameAndClear) {
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->Add("A", "1");
  list->Add("B", "2");
  list->Add("a", "3");
  EXPECT_TRUE(list->Remove("a"));
  std::string value;
  ASSERT_TRUE(list->Get("A", value));
  EXPECT_EQ(value, "3") << "after removing the first, the second is found";
  EXPECT_FALSE(list->RemoveAt(5));
  EXPECT_FALSE(list->Remove("missing"));
  EXPECT_FALSE(list->Rename("missing", "x"));
  EXPECT_TRUE(list->Rename("b", "A"));
  ASSERT_TRUE(list->Get("A", value));
  EXPECT_EQ(value, "2") << "a renamed field that comes first wins lookups";
  EXPECT_EQ(list->Names(), (std::vector<std::string>{"A", "a"}));
  list->Clear();
  EXPECT_EQ(list->Count(), 0u);
}

TEST(FieldList, HookSeesPositionAndTextOfEveryReadAndWrite) {
  RecordingOwner owner;
  const Ref<FieldList> list = owner.MakeList();
  list->AddEmpty("Empty");
  EXPECT_TRUE(owner.calls.empty()) << "add empty calls no hook";
  list->Add("Subject", "hello");
  std::string value;
  list->Get("subject", value);
  ASSERT_EQ(owner.calls.size(), 2u);
  EXPECT_EQ(owner.calls[0].position, 1u);
  EXPECT_EQ(owner.calls[0].text, "hello");
  EXPECT_EQ(owner.calls[0].mode, HookMode::kWrite);
  EXPECT_EQ(owner.calls[1].mode, HookMode::kRead);
  EXPECT_EQ(owner.calls[1].text, "hello");
  EXPECT_EQ(value, "hello");
  list->At(1)->Rename("Other");
  EXPECT_EQ(owner.calls.size(), 2u) << "renaming calls no hook";
}

TEST(FieldList, AHandledReadIsStoredAndAHandledWriteStoresTheRewrittenText) {
  RecordingOwner owner;
  owner.handled_name = "Content-Type";
  owner.read_result = "text/plain; charset=x";
  owner.write_prefix = "checked:";
  const Ref<FieldList> list = owner.MakeList();
  const Ref<Field> type = list->Add("Content-Type", "text/html");
  EXPECT_EQ(type->stored_value(), "checked:text/html");
  const Ref<Field> other = list->Add("X-Other", "as given");
  EXPECT_EQ(other->stored_value(), "as given");

  EXPECT_EQ(type->ReadValue(), "text/plain; charset=x");
  EXPECT_EQ(type->stored_value(), "text/plain; charset=x") << "a handled read is stored";
  EXPECT_EQ(list->Values(), (std::vector<std::string>{"text/plain; charset=x", "as given"}));
}

TEST(FieldList, RemovedAndClearedFieldsAreDetachedFromTheHook) {
  RecordingOwner owner;
  owner.handled_name = "Content-Type";
  owner.read_result = "hooked";
  const Ref<FieldList> list = owner.MakeList();
  const Ref<Field> removed = list->Add("Content-Type", "a");
  const Ref<Field> cleared = list->Add("Content-Type", "b");
  owner.calls.clear();
  ASSERT_TRUE(list->RemoveAt(0));
  EXPECT_EQ(removed->list(), nullptr);
  EXPECT_EQ(removed->ReadValue(), "a");
  removed->WriteValue("plain");
  EXPECT_EQ(removed->stored_value(), "plain");
  list->Clear();
  EXPECT_EQ(cleared->list(), nullptr);
  EXPECT_EQ(cleared->ReadValue(), "b");
  EXPECT_TRUE(owner.calls.empty());
}

TEST(FieldList, ADetachedListReadsAndWritesAsStored) {
  RecordingOwner owner;
  owner.handled_name = "Content-Type";
  owner.read_result = "hooked";
  const Ref<FieldList> list = owner.MakeList();
  list->Add("Content-Type", "text/plain");
  list->ClearHook();
  std::string value;
  list->Get("content-type", value);
  EXPECT_EQ(value, "text/plain");
  list->Set("Content-Type", "x/y");
  EXPECT_EQ(list->At(0)->stored_value(), "x/y");
  EXPECT_EQ(owner.calls.size(), 1u) << "only the write before detaching";
}

TEST(FieldList, FieldsOutliveTheirList) {
  Ref<Field> survivor;
  {
    const Ref<FieldList> list = MakeRef<FieldList>();
    survivor = list->Add("Subject", "still here");
  }
  EXPECT_EQ(survivor->list(), nullptr);
  EXPECT_EQ(survivor->ReadValue(), "still here");
}

// A hook that removes the field it is called for: the operation in progress
// must neither touch freed memory nor lose the value.
TEST(FieldList, HookMayRemoveTheFieldItIsCalledFor) {
  struct Remover {
    static int Hook(void*, FieldList& list, size_t position, std::string& text, HookMode) {
      list.RemoveAt(position);
      text = "from hook";
      return 1;
    }
  };
  const Ref<FieldList> list = MakeRef<FieldList>();
  list->SetHook(&Remover::Hook, nullptr);
  const Ref<Field> field = list->Add("X", "given");
  EXPECT_EQ(list->Count(), 0u);
  EXPECT_EQ(field->stored_value(), "from hook");
}

TEST(FieldList, FieldNamesThatCouldStartAnotherFieldAreRefused) {
  struct Case {
    const char* name;
    bool acceptable;
  };
  const Case cases[] = {
      {"Subject", true}, {"", true}, {"X-With Space", true}, {"\xE9t\xE9", true},
      {"Bad:Name", false}, {":", false}, {"Bcc\r\nX", false}, {"A\nB", false}, {"A\r", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAcceptableFieldName(c.name), c.acceptable) << c.name;
}

}  // namespace
}  // namespace vesk
