// Address and address-list objects over an address header, as a script
// reaches them (vtable, IDispatch, enumeration).
#include "automation/mail_address_objects.h"

#include <gtest/gtest.h>

#include "automation/support.h"

namespace vesk::test {
namespace {

class MailAddressesTest : public testing::Test {
 protected:
  void Make(const char* header) {
    list_ = MakeRef<AddressList>(std::string(header));
    ASSERT_EQ(com::MailAddressesObject::Create(list_, addresses_.put()), S_OK);
  }

  std::string AddressAt(LONG position) {
    ComPtr<IMailAddress> item;
    EXPECT_EQ(addresses_->get_Item(position, item.put()), S_OK);
    Bstr address;
    if (item) item->get_Address(address.put());
    return com::ToNarrow(address.get());
  }

  Ref<AddressList> list_;
  ComPtr<IMailAddresses> addresses_;
};

TEST_F(MailAddressesTest, ItemsCountFromOneAndReadingKeepsTheHeader) {
  const char* header = "\"Doe, Jane\" <jane@example.com>, bob@example.org";
  Make(header);
  LONG count = 0;
  ASSERT_EQ(addresses_->get_Count(&count), S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(AddressAt(1), "jane@example.com");
  EXPECT_EQ(AddressAt(2), "bob@example.org");
  ComPtr<IMailAddress> none;
  EXPECT_EQ(addresses_->get_Item(0, none.put()), DISP_E_BADINDEX);
  EXPECT_EQ(addresses_->get_Item(3, none.put()), DISP_E_BADINDEX);
  EXPECT_EQ(addresses_->Remove(3), DISP_E_BADINDEX);
  EXPECT_EQ(list_->RenderedText(), header);

  // Item is the default member: a script's To(1) reaches it through
  // DISPID_VALUE.
  Variant index, result;
  V_VT(index.get()) = VT_I4;
  V_I4(index.get()) = 1;
  DISPPARAMS params{index.get(), nullptr, 1, 0};
  ASSERT_EQ(addresses_->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params,
                               result.get(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(V_VT(result.get()), VT_DISPATCH);
  // Called as a statement ("m.To.Item(9);"): no room for a result, and still
  // the property's own answer (the unused item is released, as the leak
  // check at the end of every test shows).
  for (const auto& [position, expected] : {std::pair{9, DISP_E_BADINDEX}, std::pair{1, S_OK}}) {
    V_I4(index.get()) = position;
    EXCEPINFO exception{};
    const HRESULT hr =
        addresses_->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
    EXPECT_EQ(hr == DISP_E_EXCEPTION ? exception.scode : hr, expected) << position;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  }
}

TEST_F(MailAddressesTest, EditsThroughTheObjectsShowInTheHeader) {
  Make("<ann@example.com>");
  ComPtr<IMailAddress> first;
  ASSERT_EQ(addresses_->get_Item(1, first.put()), S_OK);
  Bstr name(L"Ann Smith");
  ASSERT_EQ(first->put_Name(name.get()), S_OK);
  EXPECT_EQ(list_->RenderedText(), "\"Ann Smith\" <ann@example.com>");

  ComPtr<IMailAddress> added;
  ASSERT_EQ(addresses_->Add(added.put()), S_OK);
  Bstr address(L"carl@example.net");
  ASSERT_EQ(added->put_Address(address.get()), S_OK);
  EXPECT_EQ(list_->RenderedText(), "\"Ann Smith\" <ann@example.com>, carl@example.net");

  ASSERT_EQ(addresses_->Remove(1), S_OK);
  EXPECT_EQ(list_->RenderedText(), "carl@example.net");
  ASSERT_EQ(addresses_->Clear(), S_OK);
  EXPECT_EQ(list_->RenderedText(), "");
  // An address object outlives its removal; its edits no longer reach the list.
  ASSERT_EQ(first->put_Name(name.get()), S_OK);
  EXPECT_EQ(list_->RenderedText(), "");
}

TEST_F(MailAddressesTest, HostileDisplayNameCannotAddARecipient) {
  Make("");
  ComPtr<IMailAddress> item;
  ASSERT_EQ(addresses_->Add(item.put()), S_OK);
  Bstr name(L"a\", <x@evil.example>, \"b"), address(L"real@example.com");
  ASSERT_EQ(item->put_Name(name.get()), S_OK);
  ASSERT_EQ(item->put_Address(address.get()), S_OK);
  const std::string rendered = list_->RenderedText();
  Ref<AddressList> reparsed = MakeRef<AddressList>(rendered);
  ASSERT_EQ(reparsed->Count(), 1u) << rendered;
  EXPECT_EQ(reparsed->Item(0)->Name(), "a\", <x@evil.example>, \"b");
  EXPECT_EQ(reparsed->Item(0)->Address(), "real@example.com");
}

TEST_F(MailAddressesTest, EnumeratorWalksEveryAddressInOrder) {
  Make("a@example.com, b@example.com, c@example.com");
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(addresses_->get__NewEnum(unknown.put()), S_OK);
  ComPtr<IEnumVARIANT> walk;
  ASSERT_EQ(unknown.As(walk), S_OK);

  VARIANT items[2];
  ULONG fetched = 0;
  ASSERT_EQ(walk->Next(2, items, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  for (VARIANT& item : items) {
    EXPECT_EQ(V_VT(&item), VT_DISPATCH);
    VariantClear(&item);
  }
  ComPtr<IEnumVARIANT> copy;
  ASSERT_EQ(walk->Clone(copy.put()), S_OK);
  ASSERT_EQ(walk->Next(2, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  ComPtr<IMailAddress> last;
  ASSERT_EQ(V_DISPATCH(&items[0])->QueryInterface(IID_IMailAddress, last.put_void()), S_OK);
  VariantClear(&items[0]);
  Bstr address;
  last->get_Address(address.put());
  EXPECT_EQ(com::ToNarrow(address.get()), "c@example.com");

  EXPECT_EQ(walk->Next(1, items, nullptr), S_FALSE);
  EXPECT_EQ(walk->Next(2, items, nullptr), E_POINTER);
  EXPECT_EQ(walk->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(copy->Skip(1), S_OK) << "the clone stands where the original stood";
  EXPECT_EQ(copy->Skip(1), S_FALSE);
  ASSERT_EQ(walk->Reset(), S_OK);
  EXPECT_EQ(walk->Skip(3), S_OK);
}

TEST_F(MailAddressesTest, SyntaxCheckAnswersWithoutFailing) {
  Make("jane.doe@mail.example.com, jane2@example.com, x@ab.com, @example.com");
  const std::pair<LONG, VARIANT_BOOL> cases[] = {
      {1, VARIANT_TRUE}, {2, VARIANT_FALSE}, {3, VARIANT_FALSE}, {4, VARIANT_TRUE}};
  for (const auto& [position, expected] : cases) {
    ComPtr<IMailAddress> item;
    ASSERT_EQ(addresses_->get_Item(position, item.put()), S_OK);
    VARIANT_BOOL valid = 7;
    ASSERT_EQ(item->Check(SYNTAX_ADDRESS_CHECK, &valid), S_OK);
    EXPECT_EQ(valid, expected) << "entry " << position;
  }
}

}  // namespace
}  // namespace vesk::test
