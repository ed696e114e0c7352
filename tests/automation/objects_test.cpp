// What a compiled caller meets beyond what scripts see: the vtable beside
// IDispatch, error-information support, connection points, results for
// missing pointers and the enumerators' own calls.
#include <gtest/gtest.h>

#include "automation/mail_address_objects.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

template <class I>
void PointAt(I* object, unsigned short port) {
  Bstr host(L"127.0.0.1");
  ASSERT_EQ(object->put_Host(host.get()), S_OK);
  ASSERT_EQ(object->put_Port(static_cast<short>(port)), S_OK);
  ASSERT_EQ(object->put_TimeOut(2000), S_OK);
}

// A value put through a documented dispatch number reads back through the
// vtable; a null string is stored as empty text, and results are never null.
TEST(Properties, VtableAndDispatchSeeTheSameValue) {
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  Variant argument;
  V_VT(argument.get()) = VT_BSTR;
  V_BSTR(argument.get()) = SysAllocString(L"mail.example.org");
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{argument.get(), &put, 1, 1};
  ASSERT_EQ(imap->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
  Bstr host;
  ASSERT_EQ(imap->get_Host(host.put()), S_OK);
  EXPECT_EQ(Narrow(host.get()), "mail.example.org");
  ASSERT_EQ(imap->put_Host(nullptr), S_OK);
  ASSERT_EQ(imap->get_Host(host.put()), S_OK);
  ASSERT_NE(host.get(), nullptr);
  EXPECT_EQ(host.length(), 0u);
  EXPECT_EQ(imap->get_Host(nullptr), E_POINTER);
}

// Text properties read through IDispatch (which hands over the member's own
// string) give what the vtable gives, whatever the characters: ones of the
// ANSI code page and ones it lacks.
TEST(Properties, TextReadsThroughDispatchMatchTheVtable) {
  ComPtr<IMIMEMessage> message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  for (const wchar_t* text : {L"", L"plain", L"Gr\u00fc\u00dfe \u20ac", L"\u03a9 \u4e2d \U0001F600 end"}) {
    Bstr value(text);
    ASSERT_EQ(message->put_Subject(value.get()), S_OK);
    message->put_Text(value.get());  // refused where the ANSI code page lacks a character
    for (const auto& [id, get] : {std::pair{DISPID{1}, &IMIMEMessage::get_Subject}, {DISPID{3}, &IMIMEMessage::get_Text},
                                  {DISPID{10}, &IMIMEMessage::get_RawMessage}}) {
      Bstr direct;
      ASSERT_EQ((message.get()->*get)(direct.put()), S_OK);
      Variant late;
      DISPPARAMS none{nullptr, nullptr, 0, 0};
      ASSERT_EQ(message->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, late.get(), nullptr, nullptr), S_OK);
      ASSERT_EQ(V_VT(late.get()), VT_BSTR);
      EXPECT_EQ(std::wstring(V_BSTR(late.get()), SysStringLen(V_BSTR(late.get()))),
                std::wstring(direct.get(), direct.length()))
          << id;
    }
  }
}

TEST(Errors, FailuresReportWithTheVersionedProgIdForTheMainInterfaceOnly) {
  for (const auto& [prog_id, main] : {std::pair{L"VeskMail.POP3", &IID_IVeskPOP3}, {L"VeskMail.SMTP", &IID_IVeskSMTP},
                                      {L"VeskMail.IMAP4", &IID_IVeskIMAP4}, {L"VeskMail.MIMEMessage", &IID_IMIMEMessage}}) {
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(CreateByProgId(prog_id, support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*main), S_OK) << Narrow(prog_id);
    // A derived interface is the same vtable and reports errors too.
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(support->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    ComPtr<ITypeInfo> info;
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.put()), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const IID dispatched = attributes->guid;
    info->ReleaseTypeAttr(attributes);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(dispatched), S_OK) << Narrow(prog_id);
    EXPECT_FALSE(IsEqualIID(dispatched, *main)) << Narrow(prog_id) << " dispatches through its derived interface";
    ComPtr<IUnknown> by_main, by_dispatched;
    ASSERT_EQ(support->QueryInterface(*main, by_main.put_void()), S_OK);
    ASSERT_EQ(support->QueryInterface(dispatched, by_dispatched.put_void()), S_OK);
    EXPECT_EQ(by_main.get(), by_dispatched.get());
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMailAddress), S_FALSE);
  }
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  PointAt(imap.get(), 1);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(imap->Connect(), E_FAIL);
  const ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"VeskMail.IMAP4.1");
  // The host, the port and the system's reason.
  EXPECT_EQ(error.description.rfind(L"Server cannot be connected: 127.0.0.1, port 1: ", 0), 0u) << error.description;
}

// POP3 and SMTP offer a container without connection points; the others none.
TEST(ConnectionPoints, Pop3AndSmtpOfferAnEmptyContainer) {
  for (const auto& [prog_id, offered] : {std::pair{L"VeskMail.POP3", true}, {L"VeskMail.SMTP", true},
                                         {L"VeskMail.IMAP4", false}, {L"VeskMail.MIMEMessage", false}}) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(CreateByProgId(prog_id, container), offered ? S_OK : E_NOINTERFACE) << Narrow(prog_id);
    if (!offered) continue;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.put()), CONNECT_E_NOCONNECTION);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* next = nullptr;
    EXPECT_EQ(points->Next(1, &next, nullptr), S_FALSE);
  }
}

TEST(Collections, EnumeratorsWalkEveryItemInOrder) {
  const Ref<AddressList> list = MakeRef<AddressList>(std::string("a@example.com, b@example.com, c@example.com"));
  ComPtr<IMailAddresses> addresses;
  ASSERT_EQ(com::MailAddressesObject::Create(list, {}, addresses.put()), S_OK);
  // Item called as a statement ("m.To.Item(9);"): no room for a result, and
  // still the property's own answer (the unused item is released, as the
  // leak check after every test shows).
  for (const auto& [position, expected] : {std::pair{9, DISP_E_BADINDEX}, std::pair{1, S_OK}}) {
    Variant index;
    V_VT(index.get()) = VT_I4;
    V_I4(index.get()) = position;
    DISPPARAMS params{index.get(), nullptr, 1, 0};
    EXCEPINFO exception{};
    const HRESULT hr = addresses->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception,
                                         nullptr);
    EXPECT_EQ(hr == DISP_E_EXCEPTION ? exception.scode : hr, expected) << position;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  }
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(addresses->get__NewEnum(unknown.put()), S_OK);
  ComPtr<IEnumVARIANT> walk, copy;
  ASSERT_EQ(unknown.As(walk), S_OK);
  VARIANT items[2];
  ULONG fetched = 0;
  ASSERT_EQ(walk->Next(2, items, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  for (VARIANT& item : items) VariantClear(&item);
  ASSERT_EQ(walk->Clone(copy.put()), S_OK);
  ASSERT_EQ(walk->Next(2, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  Variant last;
  *last.get() = items[0];
  ComPtr<IMailAddress> address;
  ASSERT_EQ(V_DISPATCH(last.get())->QueryInterface(IID_IMailAddress, address.put_void()), S_OK);
  Bstr text;
  ASSERT_EQ(address->get_Address(text.put()), S_OK);
  EXPECT_EQ(Narrow(text.get()), "c@example.com");
  EXPECT_EQ(walk->Next(1, items, nullptr), S_FALSE);
  EXPECT_EQ(walk->Next(2, items, nullptr), E_POINTER);
  EXPECT_EQ(copy->Skip(1), S_OK) << "the clone stands where the original stood";
  EXPECT_EQ(copy->Skip(1), S_FALSE);
  ASSERT_EQ(walk->Reset(), S_OK);
  EXPECT_EQ(walk->Skip(3), S_OK);
}

}  // namespace
}  // namespace vesk::test
