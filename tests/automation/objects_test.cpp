// What a compiled caller meets beyond what scripts see, on every class:
// defaults, refusals with their error information, connection points, the
// enumerators' own calls, message arguments for mailbox work, and an OAuth 2
// token file altered after the system's data protection sealed it. The OAuth 2 grants
// against a server are tested by tests/scripts/servers/oauth2_sign_in.vbs.
#include <gtest/gtest.h>

#include <functional>

#include "automation/mail_address_objects.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

// A value as text; a list as the number of its values.
std::string Text(VARIANT* value) {
  if (V_VT(value) == (VT_ARRAY | VT_VARIANT)) {
    LONG upper = -2;
    SafeArrayGetUBound(V_ARRAY(value), 1, &upper);
    return std::to_string(upper + 1);
  }
  Variant text;
  return SUCCEEDED(VariantChangeType(text.get(), value, 0, VT_BSTR)) ? Narrow(V_BSTR(text.get())) : "?";
}

// What a new object answers, read through IDispatch: defaults that keep the
// plain dialogues, UIDs that cross as doubles, empty lists before any Send.
TEST(Properties, NewObjectsStartWithTheirDefaults) {
  constexpr VARTYPE kList = VT_ARRAY | VT_VARIANT;
  const std::tuple<const wchar_t*, DISPID, VARTYPE, const char*> defaults[] = {
      {L"VeskMail.SMTP", 1010, VT_BOOL, "0"},   // UseExtensions
      {L"VeskMail.SMTP", 1014, VT_BOOL, "0"},   // AllowPartialDelivery
      {L"VeskMail.SMTP", 1017, VT_BOOL, "-1"},  // Pipelining
      {L"VeskMail.SMTP", 1011, VT_I4, "0"},     // DeliveryNotify
      {L"VeskMail.SMTP", 1012, VT_I4, "0"},     // DeliveryReturn
      {L"VeskMail.SMTP", 1013, VT_BSTR, ""},    // EnvelopeID
      {L"VeskMail.SMTP", 1015, kList, "0"},     // RefusedRecipients
      {L"VeskMail.SMTP", 1016, kList, "0"},     // RefusedReplies
      {L"VeskMail.IMAP4", 1008, VT_BOOL, "0"},  // UseUIDs: message numbers unless asked
      {L"VeskMail.IMAP4", 1009, VT_R8, "0"},    // UIDValidity
      {L"VeskMail.IMAP4", 1010, VT_R8, "0"},    // UIDNext
      {L"VeskMail.OAuth2", 7, VT_I4, "30000"},  // TimeOut
      {L"VeskMail.OAuth2", 9, VT_BOOL, "-1"},   // OpenBrowser
      {L"VeskMail.OAuth2", 11, VT_I4, "0"},     // ExpiresIn
      {L"VeskMail.OAuth2", 13, VT_BSTR, ""},    // UserCode
      {L"VeskMail.MailAPI", 1, VT_BSTR, "graph"},  // Provider
      {L"VeskMail.MailAPI", 2, VT_BSTR, "https://graph.microsoft.com"},  // BaseAddress
      {L"VeskMail.MailAPI", 3, VT_BSTR, "me"},     // Mailbox
      {L"VeskMail.MailAPI", 5, VT_I4, "60000"},    // TimeOut
  };
  for (const auto& [prog_id, id, type, expected] : defaults) {
    ComPtr<IDispatch> object;
    ASSERT_EQ(CreateByProgId(prog_id, object), S_OK);
    Variant value;
    EXPECT_EQ(GetByDispatch(object.get(), id, value.get()), S_OK) << Narrow(prog_id) << " " << id;
    EXPECT_EQ(V_VT(value.get()), type) << Narrow(prog_id) << " " << id;
    EXPECT_EQ(Text(value.get()), expected) << Narrow(prog_id) << " " << id;
  }
}

// A new object of each class, through its extended interface.
struct Objects {
  Objects() {
    EXPECT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
    EXPECT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
    EXPECT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
    EXPECT_EQ(CreateByProgId(L"VeskMail.OAuth2", oauth), S_OK);
  }
  ComPtr<IVeskPOP3Ex> pop3;
  ComPtr<IVeskSMTPEx> smtp;
  ComPtr<IVeskIMAP4Ex> imap;
  ComPtr<IVeskOAuth2> oauth;
};

const wchar_t kHttpRefused[] =
    L"OAuth 2 address must start with https:// and hold no spaces, CR, LF or NUL: "
    L"\"http://login.example/token\"";
const wchar_t kNotifyRefused[] = L"DeliveryNotify is NEVER (1) alone*";
const wchar_t kEnvelopeRefused[] =
    L"Envelope identifier must be printable US-ASCII of at most 100 characters as xtext";

// A part is asked of the structure read last: none yet, and its size is 0.
HRESULT PartSizeOfNone(Objects& o) {
  LONG size = -1;
  const HRESULT hr = o.imap->PartSize(Bstr(L"1").get(), &size);
  return size == 0 ? hr : E_UNEXPECTED;
}
HRESULT NullHostReadsBackEmpty(Objects& o) {  // results are never null
  Bstr host;
  const HRESULT hr = o.imap->put_Host(nullptr);
  if (FAILED(hr) || FAILED(o.imap->get_Host(host.put()))) return E_UNEXPECTED;
  return host.get() && host.length() == 0 ? hr : E_UNEXPECTED;
}
HRESULT ConnectToAClosedPort(Objects& o) {
  o.imap->put_Host(Bstr(L"127.0.0.1").get());
  o.imap->put_Port(1);
  o.imap->put_TimeOut(2000);
  return o.imap->Connect();
}
HRESULT RequestOverHttp(Objects& o) {
  const HRESULT hr = o.oauth->put_TokenEndpoint(Bstr(L"http://login.example/token").get());
  return FAILED(hr) ? hr : o.oauth->RequestToken();
}

// Calls on new objects that must fail before anything is sent: the result,
// and for a failure that describes itself the description (ending in '*':
// its start), with "VeskMail.<class>.1" as its source. The rows that succeed
// show where the refusals end. (Which values the engine refuses is its own
// suite's; one refusal per member shows how it reaches a caller, and text
// beyond ASCII that it is not narrowed to the code page first.)
struct Refusal {
  const char* call;  // "<class>.<member>..."
  std::function<HRESULT(Objects&)> run;
  HRESULT expected;
  const wchar_t* description;
};
#define CALL(object, ...) [](Objects& o) { return o.object->__VA_ARGS__; }
const Refusal kRefusals[] = {
    {"SMTP.DeliveryNotify = 3", CALL(smtp, put_DeliveryNotify(3)), E_INVALIDARG, kNotifyRefused},
    {"SMTP.DeliveryNotify = SUCCESS + DELAY", CALL(smtp, put_DeliveryNotify(10)), S_OK, nullptr},
    {"SMTP.DeliveryReturn = 3", CALL(smtp, put_DeliveryReturn(static_cast<DELIVERY_RETURN>(3))),
     E_INVALIDARG},
    {"SMTP.EnvelopeID beyond ASCII", CALL(smtp, put_EnvelopeID(Bstr(L"J\u00f6rg").get())), E_INVALIDARG,
     kEnvelopeRefused},
    {"SMTP.EnvelopeID = \"invoice 4711\"", CALL(smtp, put_EnvelopeID(Bstr(L"invoice 4711").get())), S_OK},
    {"SMTP.RefusedRecipients into null", CALL(smtp, get_RefusedRecipients(nullptr)), E_POINTER},
    {"IMAP4.Host into null", CALL(imap, get_Host(nullptr)), E_POINTER},
    {"IMAP4.Host = null, read back as empty text", NullHostReadsBackEmpty, S_OK},
    {"IMAP4.SpecialMailbox into null", CALL(imap, SpecialMailbox(Bstr(L"Sent").get(), nullptr)), E_POINTER},
    {"IMAP4.WaitForChange into null", CALL(imap, WaitForChange(1, nullptr)), E_POINTER},
    {"IMAP4.PartSize into null", CALL(imap, PartSize(Bstr(L"1").get(), nullptr)), E_POINTER},
    {"IMAP4.PartSize before any structure", PartSizeOfNone, E_FAIL, L"The message has no part \"1\""},
    {"IMAP4.SpecialMailbox(\"Outbox\")", CALL(imap, SpecialMailbox(Bstr(L"Outbox").get(), Bstr().put())),
     E_FAIL, L"Unknown mailbox role \"Outbox\": use Sent, Trash, Junk, Drafts, Archive or All"},
    // The host, the port and the system's reason.
    {"IMAP4.Connect to a closed port", ConnectToAClosedPort, E_FAIL,
     L"Server cannot be connected: 127.0.0.1, port 1: *"},
    {"POP3.GetMessageUID into null", CALL(pop3, GetMessageUID(1, nullptr)), E_POINTER},
    {"POP3.FindMessageByUID into null", CALL(pop3, FindMessageByUID(nullptr, nullptr)), E_POINTER},
    {"OAuth2.TimeOut = 0", CALL(oauth, put_TimeOut(0)), E_INVALIDARG},
    {"OAuth2.AccessToken before any", CALL(oauth, get_AccessToken(Bstr().put())), E_FAIL,
     L"No OAuth 2 access token yet: request one, sign in, or load the token file"},
    {"OAuth2.RequestToken without an endpoint", CALL(oauth, RequestToken()), E_FAIL,
     L"OAuth 2 needs the TokenEndpoint first"},
    {"OAuth2.RequestToken over http", RequestOverHttp, E_FAIL, kHttpRefused},
    {"OAuth2.WaitForDeviceAuthorization first", CALL(oauth, WaitForDeviceAuthorization(1)), E_FAIL,
     L"StartDeviceAuthorization must come first"},
    {"OAuth2.WaitForAuthorization first", CALL(oauth, WaitForAuthorization(1)), E_FAIL,
     L"StartAuthorization must come first"},
};
#undef CALL

TEST(Errors, RefusalsReportTheirResultAndDescription) {
  for (const Refusal& row : kRefusals) {
    Objects objects;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(row.run(objects), row.expected) << row.call;
    const ErrorInfoText error = TakeErrorInfo();
    if (!row.description) continue;
    std::wstring expected = row.description, actual = error.description;
    if (expected.back() == L'*') {  // the start of the description
      expected.pop_back();
      actual = actual.substr(0, expected.size());
    }
    EXPECT_EQ(Narrow(actual), Narrow(expected)) << row.call << ": " << Narrow(error.description);
    const std::string call = row.call;
    EXPECT_EQ(Narrow(error.source), "VeskMail." + call.substr(0, call.find('.')) + ".1") << row.call;
  }
  // Through IDispatch the same text reaches a script.
  Objects objects;
  ASSERT_EQ(objects.oauth->put_TokenEndpoint(Bstr(L"http://login.example/token").get()), S_OK);
  DISPPARAMS none{};
  EXCEPINFO exception{};
  Variant result;
  EXPECT_EQ(objects.oauth->Invoke(18, IID_NULL, 0, DISPATCH_METHOD, &none, result.put(), &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""), kHttpRefused);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
}

TEST(Errors, ErrorInformationIsForTheMainInterfaceAndItsExtension) {
  for (const auto& [prog_id, main] : {std::pair{L"VeskMail.POP3", &IID_IVeskPOP3},
                                      {L"VeskMail.SMTP", &IID_IVeskSMTP},
                                      {L"VeskMail.IMAP4", &IID_IVeskIMAP4},
                                      {L"VeskMail.MIMEMessage", &IID_IMIMEMessage}}) {
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
    EXPECT_FALSE(IsEqualIID(dispatched, *main))
        << Narrow(prog_id) << " dispatches through its derived interface";
    ComPtr<IUnknown> by_main, by_dispatched;
    ASSERT_EQ(support->QueryInterface(*main, by_main.put_void()), S_OK);
    ASSERT_EQ(support->QueryInterface(dispatched, by_dispatched.put_void()), S_OK);
    EXPECT_EQ(by_main.get(), by_dispatched.get());
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMailAddress), S_FALSE);
  }
}

// MoveMessage through IDispatch takes a message of any numeric type or text,
// a whole number in range (to 2^32 - 1 as a UID), or refuses it before
// anything is sent; one taken fails only for the missing connection.
TEST(MailboxWork, MessageArgumentsAreWholeNumbersInRangeBeforeAnythingIsSent) {
  ComPtr<IVeskIMAP4Ex> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  const std::wstring by_number = L"Invalid message: give a whole number from 1 to 2147483647";
  const std::wstring by_uid = L"Invalid message: give a whole number from 1 to 4294967295";
  // The argument as text, changed to its type; whether UIDs are on; whether it is taken.
  const std::tuple<VARTYPE, const wchar_t*, bool, bool> cases[] = {
      {VT_R8, L"2.5", false, false},       {VT_I4, L"-1", false, false},
      {VT_I4, L"0", true, false},          {VT_R8, L"3000000000", false, false},
      {VT_R8, L"4294967296", true, false}, {VT_BSTR, L"seven", true, false},
      {VT_R8, L"3000000000", true, true},  {VT_BSTR, L"42", false, true},
      {VT_I2, L"7", false, true},
  };
  for (const auto& [type, text, uids, valid] : cases) {
    ASSERT_EQ(imap->put_UseUIDs(uids ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
    Variant given, message, mailbox;
    V_VT(given.get()) = V_VT(mailbox.get()) = VT_BSTR;
    V_BSTR(given.get()) = SysAllocString(text);
    V_BSTR(mailbox.get()) = SysAllocString(L"Archive");
    ASSERT_EQ(VariantChangeType(message.get(), given.get(), 0, type), S_OK) << Narrow(text);
    VARIANT arguments[2] = {*mailbox.get(), *message.get()};  // last argument first
    DISPPARAMS params{arguments, nullptr, 2, 0};
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(imap->Invoke(1011, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_EXCEPTION);
    const std::wstring description = TakeErrorInfo().description;
    if (valid) {
      EXPECT_NE(description, by_number) << Narrow(text);
      EXPECT_NE(description, by_uid) << Narrow(text);
    } else {
      EXPECT_EQ(description, uids ? by_uid : by_number) << Narrow(text) << (uids ? " as a UID" : "");
    }
  }
}

// The protocol objects and the MailAPI object have one connection point,
// for the event interface, which their class information names as the
// default source; the message object has none.
TEST(ConnectionPoints, ProtocolObjectsOfferTheEventInterface) {
  for (const auto& [prog_id, offered] : {std::pair{L"VeskMail.POP3", true},
                                         {L"VeskMail.SMTP", true},
                                         {L"VeskMail.IMAP4", true},
                                         {L"VeskMail.MailAPI", true},
                                         {L"VeskMail.MIMEMessage", false}}) {
    SCOPED_TRACE(Narrow(prog_id));
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(CreateByProgId(prog_id, container), offered ? S_OK : E_NOINTERFACE);
    if (!offered) continue;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IVeskMailEvents, point.put()), S_OK);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), container.get());
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(listed[0], point.get());
    listed[0]->Release();

    ComPtr<IProvideClassInfo> plain;
    EXPECT_EQ(container.As(plain), S_OK);
    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(container.As(info), S_OK);
    GUID source{};
    EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, DIID__IVeskMailEvents));
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(info->GetClassInfo(coclass.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_COCLASS);
    CLSID expected{};
    CLSIDFromProgID(prog_id, &expected);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, expected));
    coclass->ReleaseTypeAttr(attributes);
  }
}

TEST(Collections, EnumeratorsWalkEveryItemInOrder) {
  const Ref<AddressList> list =
      MakeRef<AddressList>(std::string("a@example.com, b@example.com, c@example.com"));
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
    const HRESULT hr =
        addresses->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception, nullptr);
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

// A token file altered after it was sealed for the user is refused, where
// the same file as written reads back. (No file yet, and no token in clear
// in it: tests/scripts/servers/oauth2_sign_in.vbs.)
TEST(OAuth2Object, AnAlteredTokenFileIsRefused) {
  const std::wstring path = TempPath(L"vesk-oauth2-automation.tok");
  const auto load = [&](ComPtr<IVeskOAuth2>& oauth) {
    VARIANT_BOOL loaded = VARIANT_FALSE;
    EXPECT_EQ(CreateByProgId(L"VeskMail.OAuth2", oauth), S_OK);
    EXPECT_EQ(oauth->put_TokenFile(Bstr(path.c_str()).get()), S_OK);
    const HRESULT hr = oauth->LoadTokens(&loaded);
    return SUCCEEDED(hr) && !loaded ? E_UNEXPECTED : hr;
  };
  ComPtr<IVeskOAuth2> first, later, third;
  ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", first), S_OK);
  ASSERT_EQ(first->put_TokenFile(Bstr(path.c_str()).get()), S_OK);
  ASSERT_EQ(first->put_RefreshToken(Bstr(L"refresh-token").get()), S_OK);
  ASSERT_EQ(first->SaveTokens(), S_OK);
  ASSERT_EQ(load(later), S_OK);
  Bstr token;
  ASSERT_EQ(later->get_RefreshToken(token.put()), S_OK);
  EXPECT_EQ(Narrow(token.get()), "refresh-token");
  std::string altered = ReadAll(path);
  altered[altered.size() - 5] ^= 0x20;
  WriteAll(path, altered);
  EXPECT_EQ(load(third), E_FAIL);
  const std::wstring description = TakeErrorInfo().description;
  EXPECT_NE(description.find(L"cannot be read: the data was not sealed for this user or is damaged"),
            std::wstring::npos)
      << Narrow(description);
  DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace vesk::test
