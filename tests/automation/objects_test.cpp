// The four creatable objects as a caller meets them: creation by ProgID,
// properties through the vtable and through IDispatch, error information.
#include <gtest/gtest.h>

#include "automation/fake_server.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

struct ClassCase {
  const wchar_t* prog_id;
  const CLSID* clsid;
  const IID* main;
  const IID* extended;  // the derived interface with the newer members, if any
};

const ClassCase kClasses[] = {
    {L"VeskMail.POP3", &CLSID_VeskPOP3, &IID_IVeskPOP3, &IID_IVeskPOP3Ex},
    {L"VeskMail.SMTP", &CLSID_VeskSMTP, &IID_IVeskSMTP, &IID_IVeskSMTPEx},
    {L"VeskMail.IMAP4", &CLSID_VeskIMAP4, &IID_IVeskIMAP4, &IID_IVeskIMAP4Ex},
    {L"VeskMail.MIMEMessage", &CLSID_MIMEMessage, &IID_IMIMEMessage, nullptr},
};

Variant Get(IDispatch* object, const wchar_t* name) {
  Variant result;
  EXPECT_EQ(InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, 0, result.get()), S_OK) << Narrow(name);
  return result;
}

HRESULT PutText(IDispatch* object, const wchar_t* name, const wchar_t* text) {
  Variant argument;
  V_VT(argument.get()) = VT_BSTR;
  V_BSTR(argument.get()) = SysAllocString(text);
  return InvokeByName(object, name, DISPATCH_PROPERTYPUT, argument.get(), 1, nullptr);
}

std::wstring Text(Variant& value) {
  EXPECT_EQ(V_VT(value.get()), VT_BSTR);
  return V_VT(value.get()) == VT_BSTR ? std::wstring(V_BSTR(value.get()), SysStringLen(V_BSTR(value.get())))
                                      : std::wstring();
}

TEST(Creation, BothProgIdsNameTheSameClass) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(Narrow(c.prog_id));
    CLSID independent{}, versioned{};
    ASSERT_EQ(CLSIDFromProgID(c.prog_id, &independent), S_OK);
    ASSERT_EQ(CLSIDFromProgID((std::wstring(c.prog_id) + L".1").c_str(), &versioned), S_OK);
    EXPECT_TRUE(IsEqualCLSID(independent, *c.clsid));
    EXPECT_TRUE(IsEqualCLSID(versioned, *c.clsid));
    ComPtr<IDispatch> object;
    EXPECT_EQ(CreateByProgId((std::wstring(c.prog_id) + L".1").c_str(), object), S_OK);
  }
}

TEST(Properties, ProtocolObjectsStartWithTheirDefaults) {
  ComPtr<IDispatch> pop3, smtp, imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);

  struct IntegerCase {
    IDispatch* object;
    const wchar_t* name;
    VARTYPE type;
    LONG value;
  };
  const IntegerCase integers[] = {
      {pop3.get(), L"Port", VT_I2, 110},        {pop3.get(), L"MessageCount", VT_I2, 0},
      {pop3.get(), L"TimeOut", VT_I4, 5000},    {smtp.get(), L"Port", VT_I2, 25},
      {smtp.get(), L"TimeOut", VT_I4, 5000},    {imap.get(), L"Port", VT_I2, 143},
      {imap.get(), L"TimeOut", VT_I4, 5000},    {imap.get(), L"MessageCount", VT_I4, 0},
      {imap.get(), L"RecentCount", VT_I4, 0},   {imap.get(), L"FirstUnseen", VT_I4, 0},
  };
  for (const IntegerCase& c : integers) {
    Variant value = Get(c.object, c.name);
    EXPECT_EQ(V_VT(value.get()), c.type) << Narrow(c.name);
    EXPECT_EQ(c.type == VT_I2 ? V_I2(value.get()) : V_I4(value.get()), c.value) << Narrow(c.name);
  }

  struct TextCase {
    IDispatch* object;
    const wchar_t* name;
    const wchar_t* value;
  };
  const TextCase texts[] = {
      {pop3.get(), L"User", L""},      {pop3.get(), L"Password", L""},          {pop3.get(), L"Host", L"localhost"},
      {smtp.get(), L"Host", L"localhost"}, {imap.get(), L"Host", L"localhost"}, {imap.get(), L"User", L"user"},
      {imap.get(), L"Password", L"lemonade"}, {imap.get(), L"MailboxName", L"INBOX"},
  };
  for (const TextCase& c : texts) {
    Variant value = Get(c.object, c.name);
    EXPECT_EQ(Text(value), c.value) << Narrow(c.name);
  }
}

TEST(Properties, VtableAndDispatchSeeTheSameValue) {
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  Bstr host(L"mail.example.org");
  ASSERT_EQ(imap->put_Host(host.get()), S_OK);
  Variant read = Get(imap.get(), L"Host");
  EXPECT_EQ(Text(read), L"mail.example.org");

  // Dispatch identifier 1 is Host.
  Variant argument;
  V_VT(argument.get()) = VT_BSTR;
  V_BSTR(argument.get()) = SysAllocString(L"10.1.2.3");
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{argument.get(), &put, 1, 1};
  ASSERT_EQ(imap->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
            S_OK);
  Bstr back;
  ASSERT_EQ(imap->get_Host(back.put()), S_OK);
  EXPECT_EQ(std::wstring(back.get()), L"10.1.2.3");

  ComPtr<IVeskPOP3> pop3;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  Variant port;
  V_VT(port.get()) = VT_I4;  // scripts pass integers as I4; the type library converts
  V_I4(port.get()) = 995;
  ASSERT_EQ(InvokeByName(pop3.get(), L"Port", DISPATCH_PROPERTYPUT, port.get(), 1, nullptr), S_OK);
  short value = 0;
  ASSERT_EQ(pop3->get_Port(&value), S_OK);
  EXPECT_EQ(value, 995);
}

TEST(Properties, NullStringIsStoredAsEmptyText) {
  ComPtr<IVeskPOP3> pop3;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  ASSERT_EQ(pop3->put_Host(nullptr), S_OK);
  Bstr host;
  ASSERT_EQ(pop3->get_Host(host.put()), S_OK);
  ASSERT_NE(host.get(), nullptr) << "results are always real strings";
  EXPECT_EQ(host.length(), 0u);
  EXPECT_EQ(pop3->get_Host(nullptr), E_POINTER);
}

TEST(Properties, ImapMailboxNameMapsBackslashesToTheDelimiter) {
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  Bstr name(L"INBOX\\Projects\\2026");
  ASSERT_EQ(imap->put_MailboxName(name.get()), S_OK);
  Bstr back;
  ASSERT_EQ(imap->get_MailboxName(back.put()), S_OK);
  EXPECT_EQ(std::wstring(back.get()), L"INBOX\\Projects\\2026");
  // A period typed by the caller is the server's delimiter already, so it
  // reads back as a level separator.
  Bstr dotted(L"INBOX.Sent");
  ASSERT_EQ(imap->put_MailboxName(dotted.get()), S_OK);
  ASSERT_EQ(imap->get_MailboxName(back.put()), S_OK);
  EXPECT_EQ(std::wstring(back.get()), L"INBOX\\Sent");
}

// The catalogued interface and the derived one are the same object's vtable.
TEST(Errors, EveryCreatableClassSupportsErrorInfoForItsMainInterfaceOnly) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(Narrow(c.prog_id));
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(CreateByProgId(c.prog_id, support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.main), S_OK);
    if (c.extended) {
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.extended), S_OK);
      ComPtr<IUnknown> main, extended;
      ASSERT_EQ(support->QueryInterface(*c.main, main.put_void()), S_OK);
      ASSERT_EQ(support->QueryInterface(*c.extended, extended.put_void()), S_OK);
      EXPECT_EQ(main.get(), extended.get());
    }
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMailAddress), S_FALSE);
  }
}

TEST(Errors, FailingMethodReportsWithTheVersionedProgIdAsSource) {
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  Bstr host(L"127.0.0.1");
  imap->put_Host(host.get());
  imap->put_Port(static_cast<short>(UnusedPort()));
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(imap->Connect(), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  ASSERT_TRUE(error.present);
  EXPECT_EQ(error.source, L"VeskMail.IMAP4.1");
  EXPECT_EQ(error.description, L"Server cannot be connected");
}

TEST(ConnectionPoints, Pop3AndSmtpOfferAnEmptyContainer) {
  for (const wchar_t* prog_id : {L"VeskMail.POP3", L"VeskMail.SMTP"}) {
    SCOPED_TRACE(Narrow(prog_id));
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(CreateByProgId(prog_id, container), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.put()), CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(point);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* next = nullptr;
    ULONG fetched = 5;
    EXPECT_EQ(points->Next(1, &next, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
  }
  for (const wchar_t* prog_id : {L"VeskMail.IMAP4", L"VeskMail.MIMEMessage"}) {
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(CreateByProgId(prog_id, container), E_NOINTERFACE) << Narrow(prog_id);
  }
}

TEST(PageHooks, NullContextIsRefusedAndEndPageAlwaysSucceeds) {
  ComPtr<IVeskPOP3> pop3;
  ComPtr<IVeskIMAP4> imap;
  ComPtr<IMIMEMessage> message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  EXPECT_EQ(pop3->OnStartPage(nullptr), E_POINTER);
  EXPECT_EQ(imap->OnStartPage(nullptr), E_POINTER);
  EXPECT_EQ(message->OnStartPage(nullptr), E_POINTER);
  EXPECT_EQ(pop3->OnEndPage(), S_OK);
  EXPECT_EQ(imap->OnEndPage(), S_OK);
  EXPECT_EQ(message->OnEndPage(), S_OK);
  // Any object will do as a page context for the protocol objects.
  EXPECT_EQ(pop3->OnStartPage(message.get()), S_OK);
  // The message needs a real scripting context.
  EXPECT_EQ(message->OnStartPage(pop3.get()), E_NOINTERFACE);
}

TEST(PageHooks, MessageInsideAPageMayUseVirtualPaths) {
  ComPtr<IMIMEMessage> message;
  ComPtr<IUnknown> context;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskTest.PageContext", context), S_OK);
  ASSERT_EQ(message->OnStartPage(context.get()), S_OK);
  EXPECT_EQ(message->put_UseVirtualPath(VARIANT_TRUE), S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  ASSERT_EQ(message->get_UseVirtualPath(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  EXPECT_EQ(message->OnEndPage(), S_OK);
  ASSERT_EQ(message->get_UseVirtualPath(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE) << "the end of the page changes nothing";
}

TEST(PageHooks, MessageOutsideAPageKeepsPhysicalPaths) {
  ComPtr<IMIMEMessage> message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  EXPECT_EQ(message->put_UseVirtualPath(VARIANT_TRUE), S_FALSE);
  VARIANT_BOOL flag = VARIANT_TRUE;
  ASSERT_EQ(message->get_UseVirtualPath(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  ASSERT_EQ(message->get_DenyPhysicalPath(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
}

}  // namespace
}  // namespace vesk::test
