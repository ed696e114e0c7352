// The header-field dictionary over a field list, through IDispatch as a
// script reaches it.
#include "automation/field_dictionary_object.h"

#include <gtest/gtest.h>

#include "automation/support.h"
#include "engine/streams/string_stream.h"

namespace vesk::test {
namespace {

class FieldDictionaryTest : public testing::Test {
 protected:
  void SetUp() override {
    fields_ = MakeRef<FieldList>();
    ASSERT_EQ(com::FieldDictionaryObject::Create(fields_, dictionary_.put()), S_OK);
  }

  std::wstring Item(const wchar_t* name) {
    Variant argument, result;
    V_VT(argument.get()) = VT_BSTR;
    V_BSTR(argument.get()) = SysAllocString(name);
    EXPECT_EQ(InvokeByName(dictionary_.get(), L"Item", DISPATCH_PROPERTYGET, argument.get(), 1, result.get()), S_OK);
    return V_VT(result.get()) == VT_BSTR ? std::wstring(V_BSTR(result.get())) : L"<not a string>";
  }

  HRESULT PutItem(const wchar_t* name, const wchar_t* value) {
    Variant args[2];  // arguments go in reverse order: value first
    V_VT(args[0].get()) = VT_BSTR;
    V_BSTR(args[0].get()) = SysAllocString(value);
    V_VT(args[1].get()) = VT_BSTR;
    V_BSTR(args[1].get()) = SysAllocString(name);
    VARIANT raw[2] = {*args[0].get(), *args[1].get()};
    return InvokeByName(dictionary_.get(), L"Item", DISPATCH_PROPERTYPUT, raw, 2, nullptr);
  }

  HRESULT Call(const wchar_t* name, std::initializer_list<const wchar_t*> texts, VARIANT* result = nullptr) {
    std::vector<VARIANT> args(texts.size());
    size_t i = texts.size();
    for (const wchar_t* text : texts) {
      VariantInit(&args[--i]);
      V_VT(&args[i]) = VT_BSTR;
      V_BSTR(&args[i]) = SysAllocString(text);
    }
    const HRESULT hr = InvokeByName(dictionary_.get(), name, DISPATCH_METHOD, args.data(),
                                    static_cast<UINT>(args.size()), result);
    for (VARIANT& arg : args) VariantClear(&arg);
    return hr;
  }

  std::string Rendered() {
    StringStream out;
    fields_->WriteHeaderBlock(out);
    return out.text();
  }

  Ref<FieldList> fields_;
  ComPtr<IFieldDictionary> dictionary_;
};

TEST_F(FieldDictionaryTest, ItemReadsFirstMatchAndWritesOverIt) {
  fields_->Add("Subject", "hello");
  fields_->Add("Received", "from a");
  fields_->Add("Received", "from b");
  EXPECT_EQ(Item(L"subject"), L"hello");
  EXPECT_EQ(Item(L"RECEIVED"), L"from a");
  EXPECT_EQ(Item(L"X-Missing"), L"");

  ASSERT_EQ(PutItem(L"subject", L"changed"), S_OK);
  EXPECT_EQ(Rendered(), "Subject: changed\r\nReceived: from a\r\nReceived: from b\r\n");
  ASSERT_EQ(PutItem(L"X-Mailer", L"VeskMail"), S_OK);
  EXPECT_EQ(fields_->Count(), 4u);
}

TEST_F(FieldDictionaryTest, AddNeverMakesASecondFieldOfAName) {
  ASSERT_EQ(Call(L"Add", {L"X-Id", L"1"}), S_OK);
  ASSERT_EQ(Call(L"Add", {L"x-id", L"2"}), S_OK);
  LONG count = 0;
  ASSERT_EQ(dictionary_->get_Count(&count), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Item(L"X-Id"), L"2");
}

TEST_F(FieldDictionaryTest, KeyAndRemoveReportMissingNames) {
  fields_->Add("Received", "one");
  fields_->Add("Received", "two");
  Bstr absent(L"X-Nothing"), renamed(L"X-Old-Received"), received(L"Received");
  EXPECT_EQ(dictionary_->put_Key(absent.get(), renamed.get()), DISP_E_BADINDEX);
  EXPECT_EQ(dictionary_->Remove(absent.get()), DISP_E_BADINDEX);

  ASSERT_EQ(dictionary_->Remove(received.get()), S_OK);
  EXPECT_EQ(Item(L"Received"), L"two");
  ASSERT_EQ(dictionary_->put_Key(received.get(), renamed.get()), S_OK);
  EXPECT_EQ(Rendered(), "X-Old-Received: two\r\n");
  ASSERT_EQ(dictionary_->RemoveAll(), S_OK);
  EXPECT_EQ(fields_->Count(), 0u);
}

TEST_F(FieldDictionaryTest, ExistsAnswersWithAutomationBooleans) {
  fields_->Add("Subject", "x");
  Variant yes, no;
  ASSERT_EQ(Call(L"Exists", {L"SUBJECT"}, yes.get()), S_OK);
  ASSERT_EQ(Call(L"Exists", {L"Date"}, no.get()), S_OK);
  EXPECT_EQ(V_BOOL(yes.get()), VARIANT_TRUE);
  EXPECT_EQ(V_BOOL(no.get()), VARIANT_FALSE);
}

TEST_F(FieldDictionaryTest, NamesAndValuesArraysLineUp) {
  Variant empty;
  ASSERT_EQ(dictionary_->FieldsNames(empty.get()), S_OK);
  ASSERT_EQ(V_VT(empty.get()), VT_ARRAY | VT_VARIANT);
  LONG lower = -1, upper = 5;
  SafeArrayGetLBound(V_ARRAY(empty.get()), 1, &lower);
  SafeArrayGetUBound(V_ARRAY(empty.get()), 1, &upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, -1);

  fields_->Add("From", "a@example.com");
  fields_->Add("To", "b@example.com");
  Variant names, values;
  ASSERT_EQ(dictionary_->FieldsNames(names.get()), S_OK);
  ASSERT_EQ(dictionary_->FieldsValues(values.get()), S_OK);
  for (LONG i = 0; i < 2; ++i) {
    VARIANT name, value;
    VariantInit(&name);
    VariantInit(&value);
    ASSERT_EQ(SafeArrayGetElement(V_ARRAY(names.get()), &i, &name), S_OK);
    ASSERT_EQ(SafeArrayGetElement(V_ARRAY(values.get()), &i, &value), S_OK);
    EXPECT_EQ(V_VT(&name), VT_BSTR);
    EXPECT_EQ(Narrow(V_BSTR(&name)), i == 0 ? "From" : "To");
    EXPECT_EQ(Narrow(V_BSTR(&value)), i == 0 ? "a@example.com" : "b@example.com");
    VariantClear(&name);
    VariantClear(&value);
  }
}

TEST_F(FieldDictionaryTest, NamesThatWouldStartAnotherHeaderAreRefused) {
  fields_->Add("Subject", "x");
  for (const wchar_t* hostile : {L"X-A\r\nBcc", L"X-B\nBcc", L"Bcc: victim@example.com\r\nX-C", L"X:Y"}) {
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(PutItem(hostile, L"v"), DISP_E_EXCEPTION) << Narrow(hostile);
    EXPECT_EQ(Call(L"Add", {hostile, L"v"}), DISP_E_EXCEPTION) << Narrow(hostile);
    Bstr old_name(L"Subject"), new_name(hostile);
    EXPECT_EQ(dictionary_->put_Key(old_name.get(), new_name.get()), E_INVALIDARG);
    EXPECT_FALSE(TakeErrorInfo().description.empty());
  }
  EXPECT_EQ(Rendered(), "Subject: x\r\n");
}

TEST_F(FieldDictionaryTest, LineBreaksInValuesStayInsideTheField) {
  ASSERT_EQ(PutItem(L"Subject", L"first\r\nBcc: victim@example.com"), S_OK);
  EXPECT_EQ(Rendered(), "Subject: first\r\n Bcc: victim@example.com\r\n");
}

}  // namespace
}  // namespace vesk::test
