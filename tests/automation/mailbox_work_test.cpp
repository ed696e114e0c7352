// The members for working through a mailbox as a compiled caller meets them:
// message arguments of any numeric type or text, checked before anything is
// sent; UIDs crossing as doubles; results for missing pointers.
#include <gtest/gtest.h>

#include "automation/support.h"

namespace vesk::test {
namespace {

// MoveMessage through IDispatch with `message` as its first argument; the
// description it fails with.
std::wstring MoveFailure(IVeskIMAP4Ex* imap, Variant& message) {
  Variant mailbox;
  V_VT(mailbox.get()) = VT_BSTR;
  V_BSTR(mailbox.get()) = SysAllocString(L"Archive");
  VARIANT arguments[2] = {*mailbox.get(), *message.get()};  // last argument first
  DISPPARAMS params{arguments, nullptr, 2, 0};
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(imap->Invoke(1011, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), DISP_E_EXCEPTION);
  return TakeErrorInfo().description;
}

TEST(MailboxWork, MessageArgumentsAreWholeNumbersInRangeBeforeAnythingIsSent) {
  ComPtr<IVeskIMAP4Ex> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  const std::wstring by_number = L"Invalid message: give a whole number from 1 to 2147483647";
  const std::wstring by_uid = L"Invalid message: give a whole number from 1 to 4294967295";
  struct Case {
    VARTYPE type;
    double number;
    const wchar_t* text;
    bool uids;
    bool valid;
  };
  const Case cases[] = {
      {VT_R8, 2.5, nullptr, false, false},         {VT_I4, -1, nullptr, false, false},
      {VT_I4, 0, nullptr, true, false},            {VT_R8, 3000000000.0, nullptr, false, false},
      {VT_R8, 4294967296.0, nullptr, true, false}, {VT_BSTR, 0, L"seven", true, false},
      {VT_R8, 3000000000.0, nullptr, true, true},  {VT_BSTR, 0, L"42", false, true},
      {VT_I2, 7, nullptr, false, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(imap->put_UseUIDs(c.uids ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
    Variant message;
    V_VT(message.get()) = c.type;
    if (c.type == VT_R8) V_R8(message.get()) = c.number;
    if (c.type == VT_I4) V_I4(message.get()) = static_cast<LONG>(c.number);
    if (c.type == VT_I2) V_I2(message.get()) = static_cast<SHORT>(c.number);
    if (c.type == VT_BSTR) V_BSTR(message.get()) = SysAllocString(c.text);
    const std::wstring description = MoveFailure(imap.get(), message);
    if (c.valid) {
      // Taken: the failure is the missing connection's.
      EXPECT_NE(description, by_number) << c.number;
      EXPECT_NE(description, by_uid) << c.number;
    } else {
      EXPECT_EQ(description, c.uids ? by_uid : by_number) << c.number;
    }
  }
}

TEST(MailboxWork, UidValuesCrossAsDoublesAndResultsNeedPointers) {
  ComPtr<IVeskIMAP4Ex> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  VARIANT_BOOL uids = VARIANT_TRUE;
  ASSERT_EQ(imap->get_UseUIDs(&uids), S_OK);
  EXPECT_EQ(uids, VARIANT_FALSE);  // message numbers unless asked
  for (DISPID id : {1009, 1010}) {
    Variant value;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(imap->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(value.get()), VT_R8) << id;
    EXPECT_EQ(V_R8(value.get()), 0.0) << id;
  }
  Bstr role(L"Sent");
  EXPECT_EQ(imap->SpecialMailbox(role.get(), nullptr), E_POINTER);
  EXPECT_EQ(imap->WaitForChange(1, nullptr), E_POINTER);
  Bstr part(L"1");
  EXPECT_EQ(imap->PartSize(part.get(), nullptr), E_POINTER);
  // A part is asked of the structure read last: none yet.
  LONG size = -1;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(imap->PartSize(part.get(), &size), E_FAIL);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(TakeErrorInfo().description, L"The message has no part \"1\"");
  Bstr unknown(L"Outbox");
  Bstr name;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(imap->SpecialMailbox(unknown.get(), name.put()), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"Unknown mailbox role \"Outbox\": use Sent, Trash, Junk, Drafts, Archive or All");

  ComPtr<IVeskPOP3Ex> pop3;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  EXPECT_EQ(pop3->GetMessageUID(1, nullptr), E_POINTER);
  EXPECT_EQ(pop3->FindMessageByUID(nullptr, nullptr), E_POINTER);
}

}  // namespace
}  // namespace vesk::test
