// What DllRegisterServer writes and DllUnregisterServer removes, and the type
// library as callers and object browsers read it from the registry.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "automation/support.h"

namespace vesk::test {
namespace {

using ServerFunction = HRESULT(WINAPI*)();

// The platform key under which RegisterTypeLib files a type library of this build.
const std::wstring kTypeLibPlatform = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value of HKCR\path (the default value when name is null).
std::optional<std::wstring> Value(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

const std::tuple<const CLSID*, const wchar_t*, const wchar_t*> kClasses[] = {
    {&CLSID_VeskPOP3, L"VeskPOP3", L"VeskMail.POP3"},
    {&CLSID_VeskSMTP, L"VeskSMTP", L"VeskMail.SMTP"},
    {&CLSID_VeskIMAP4, L"VeskIMAP4", L"VeskMail.IMAP4"},
    {&CLSID_MIMEMessage, L"MIMEMessage", L"VeskMail.MIMEMessage"},
    {&CLSID_VeskOAuth2, L"VeskOAuth2", L"VeskMail.OAuth2"}};

const IID* const kInterfaces[] = {&IID_IVeskPOP3,    &IID_IVeskSMTP,   &IID_IVeskIMAP4,   &IID_IMIMEMessage,
                                  &IID_IMailAddress, &IID_IMailAddresses, &IID_IMimeBody, &IID_IMimeBodies,
                                  &IID_IFieldDictionary, &IID_IVeskPOP3Ex, &IID_IVeskSMTPEx, &IID_IVeskIMAP4Ex,
                                  &IID_IMIMEMessageEx, &IID_IVeskOAuth2};

class Registration : public testing::Test {
 protected:
  // Every test leaves the DLL registered, as the other tests need it.
  void TearDown() override { EXPECT_EQ(Register(), S_OK); }
  static HRESULT Register() { return DllExport<ServerFunction>("DllRegisterServer")(); }
  static HRESULT Unregister() { return DllExport<ServerFunction>("DllUnregisterServer")(); }
};

TEST_F(Registration, WritesTheClassKeysAndTheTypeLibrary) {
  const std::wstring stale = L"CLSID\\" + GuidText(CLSID_VeskSMTP) + L"\\LocalServer32";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Register(), S_OK);
  EXPECT_FALSE(KeyExists(stale)) << "a stale class key is replaced whole";
  const std::wstring libid = GuidText(LIBID_VESKMAILLib);
  for (const auto& [clsid_value, name, prog_id] : kClasses) {
    SCOPED_TRACE(Narrow(prog_id));
    const std::wstring clsid = GuidText(*clsid_value), description = std::wstring(name) + L" Class";
    const std::wstring versioned = std::wstring(prog_id) + L".1", key_path = L"CLSID\\" + clsid;
    EXPECT_EQ(Value(versioned), description);
    EXPECT_EQ(Value(versioned + L"\\CLSID"), clsid);
    EXPECT_EQ(Value(prog_id), description);
    EXPECT_EQ(Value(std::wstring(prog_id) + L"\\CLSID"), clsid);
    EXPECT_EQ(Value(std::wstring(prog_id) + L"\\CurVer"), versioned);
    EXPECT_EQ(Value(key_path), description);
    EXPECT_EQ(Value(key_path + L"\\ProgID"), versioned);
    EXPECT_EQ(Value(key_path + L"\\VersionIndependentProgID"), std::wstring(prog_id));
    EXPECT_TRUE(KeyExists(key_path + L"\\Programmable"));
    EXPECT_EQ(Value(key_path + L"\\InprocServer32"), DllPath());
    EXPECT_EQ(Value(key_path + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Value(key_path + L"\\TypeLib"), libid);
  }
  const std::wstring lib_key = L"TypeLib\\" + libid + L"\\1.0";
  EXPECT_EQ(Value(lib_key), L"VeskMail components 1.0");
  const std::wstring dll = DllPath(), directory = dll.substr(0, dll.find_last_of(L'\\'));
  EXPECT_EQ(Value(lib_key + L"\\HELPDIR").value_or(L"").substr(0, directory.size()), directory);
  EXPECT_EQ(Value(lib_key + kTypeLibPlatform), dll);
  for (const IID* iid : kInterfaces) EXPECT_TRUE(KeyExists(L"Interface\\" + GuidText(*iid)));
}

TEST_F(Registration, UnregistrationRemovesWhatRegistrationWrote) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(Unregister(), S_OK);
  for (const auto& [clsid, name, prog_id] : kClasses) {
    EXPECT_FALSE(KeyExists(prog_id)) << Narrow(prog_id);
    EXPECT_FALSE(KeyExists(std::wstring(prog_id) + L".1")) << Narrow(prog_id);
    EXPECT_FALSE(KeyExists(L"CLSID\\" + GuidText(*clsid))) << Narrow(prog_id);
  }
  EXPECT_TRUE(KeyExists(L"CLSID"));
  EXPECT_FALSE(KeyExists(L"TypeLib\\" + GuidText(LIBID_VESKMAILLib)));
  for (const IID* iid : kInterfaces) EXPECT_FALSE(KeyExists(L"Interface\\" + GuidText(*iid)));
}

// Each interface as "Name/kinds/id" members in vtable order; kinds are g(et),
// p(ut), r (putref) and c(all), each one member of its own.
#define VESK_SECURITY_MEMBERS "Security/gp/1001 VerifyCertificate/gp/1002 TlsProtocol/g/1003 "
constexpr char kPop3ExMembers[] = VESK_SECURITY_MEMBERS
    "AccessToken/gp/1004 AuthMethod/gp/1005 LastServerReply/g/1006 TraceFile/gp/1007 GetMessageUID/c/1008 "
    "FindMessageByUID/c/1009 OAuth2/gr/1010";
constexpr char kImap4ExMembers[] = VESK_SECURITY_MEMBERS
    "AccessToken/gp/1004 AuthMethod/gp/1005 LastServerReply/g/1006 TraceFile/gp/1007 UseUIDs/gp/1008 "
    "UIDValidity/g/1009 UIDNext/g/1010 MoveMessage/c/1011 SpecialMailbox/c/1012 WaitForChange/c/1013 "
    "GetMessageParts/c/1014 PartContentType/c/1015 PartFileName/c/1016 PartSize/c/1017 PartEncoding/c/1018 "
    "SavePart/c/1019 GetPartText/c/1020 OAuth2/gr/1021";
constexpr char kSmtpExMembers[] = VESK_SECURITY_MEMBERS
    "User/gp/1004 Password/gp/1005 AccessToken/gp/1006 AuthMethod/gp/1007 LastServerReply/g/1008 TraceFile/gp/1009 "
    "UseExtensions/gp/1010 DeliveryNotify/gp/1011 DeliveryReturn/gp/1012 EnvelopeID/gp/1013 "
    "AllowPartialDelivery/gp/1014 RefusedRecipients/g/1015 RefusedReplies/g/1016 Pipelining/gp/1017 OAuth2/gr/1018";
const std::pair<const IID*, const char*> kCatalogue[] = {
    {&IID_IVeskPOP3, "User/gp/1 Password/gp/2 Host/gp/3 Port/gp/4 MessageCount/g/5 Connect/c/6 Disconnect/c/7 "
                     "GetMessageSize/c/8 Retrieve/c/9 Delete/c/10 Reset/c/11 RetrieveTop/c/12 TimeOut/gp/13 "
                     "OnStartPage/c/14 OnEndPage/c/15"},
    {&IID_IVeskSMTP, "Port/gp/1 Host/gp/2 TimeOut/gp/3 Connect/c/4 Disconnect/c/5 Send/c/6"},
    {&IID_IVeskIMAP4, "Host/gp/1 Port/gp/2 TimeOut/gp/3 User/gp/4 Password/gp/5 MessageCount/g/6 RecentCount/g/7 "
                      "FirstUnseen/g/8 MailboxName/gp/9 Connect/c/10 Disconnect/c/11 SelectMailbox/c/12 "
                      "CreateMailbox/c/13 DeleteMailbox/c/14 RenameMailbox/c/15 GetMailboxesList/c/16 "
                      "AppendMessage/c/17 DeleteMessage/c/18 Expunge/c/19 CopyMessage/c/20 Search/c/21 "
                      "SearchByFlags/c/22 SearchSentOn/c/23 SearchSentBefore/c/24 SearchSentSince/c/25 Retrieve/c/26 "
                      "RetrieveHeader/c/27 RetrieveTop/c/28 GetMessageSize/c/29 GetMessageFlags/c/30 "
                      "PutMessageFlags/c/31 UpdateStatus/c/32 OnStartPage/c/33 OnEndPage/c/34"},
    {&IID_IMIMEMessage, "Subject/gp/1 MessageID/gp/2 Text/gp/3 Date/gp/4 From/g/5 To/g/6 Cc/g/7 Bcc/g/8 MimeBody/g/9 "
                        "RawMessage/gp/10 Attachments/g/11 HeaderFields/g/12 Append/c/13 Empty/c/14 Save/c/15 "
                        "Load/c/16 Attach/c/17 OnStartPage/c/18 OnEndPage/c/19 UseVirtualPath/gp/20 "
                        "DenyPhysicalPath/g/21"},
    {&IID_IMailAddress, "Name/gp/1 Address/gp/2 Check/c/3"},
    {&IID_IMailAddresses, "Count/g/1610743808 Item/g/0 _NewEnum/g/-4 Add/c/1 Remove/c/2 Clear/c/3"},
    {&IID_IMimeBody, "ContentEncoding/gp/1 ContentType/gp/2 Charset/gp/3 FileName/gp/4 SimpleContent/g/5 "
                     "RawMessage/gp/6 MimeBodies/g/7 HeaderFields/g/8 LoadFile/c/9 Save/c/10 UseVirtualPath/gp/11 "
                     "DenyPhysicalPath/g/12 Load/c/13"},
    {&IID_IMimeBodies, "Count/g/1610743808 Item/g/0 _NewEnum/g/-4 Add/c/1 Remove/c/2 Clear/c/3"},
    {&IID_IFieldDictionary, "Count/g/1 Key/p/2 Item/gpr/3 Add/c/4 Exists/c/5 Remove/c/6 RemoveAll/c/7 "
                            "FieldsNames/c/8 FieldsValues/c/9"},
    {&IID_IVeskPOP3Ex, kPop3ExMembers},
    {&IID_IVeskSMTPEx, kSmtpExMembers},
    {&IID_IVeskIMAP4Ex, kImap4ExMembers},
    {&IID_IMIMEMessageEx, "NewMessageID/c/1001 Charset/gp/1002 HTMLText/gp/1003 AddRelated/c/1004"},
    {&IID_IVeskOAuth2, "TokenEndpoint/gp/1 AuthorizationEndpoint/gp/2 DeviceAuthorizationEndpoint/gp/3 ClientId/gp/4 "
                       "ClientSecret/gp/5 Scope/gp/6 TimeOut/gp/7 TokenFile/gp/8 OpenBrowser/gp/9 AccessToken/g/10 "
                       "ExpiresIn/g/11 RefreshToken/gp/12 UserCode/g/13 VerificationUri/g/14 "
                       "VerificationUriComplete/g/15 AuthorizationAddress/g/16 RedirectUri/g/17 RequestToken/c/18 "
                       "Refresh/c/19 StartDeviceAuthorization/c/20 WaitForDeviceAuthorization/c/21 "
                       "StartAuthorization/c/22 WaitForAuthorization/c/23 LoadTokens/c/24 SaveTokens/c/25"}};

// The first vtable slot of an interface's own members: after IUnknown and
// IDispatch, and after the catalogued members a derived interface extends.
UINT FirstSlot(const IID* iid) {
  return iid == &IID_IVeskPOP3Ex     ? 7 + 20
         : iid == &IID_IVeskSMTPEx    ? 7 + 9
         : iid == &IID_IVeskIMAP4Ex   ? 7 + 40
         : iid == &IID_IMIMEMessageEx ? 7 + 27
                                      : 7;
}

std::string KindsOf(INVOKEKIND kind) {
  return kind == INVOKE_PROPERTYGET ? "g" : kind == INVOKE_PROPERTYPUT ? "p" : kind == INVOKE_PROPERTYPUTREF ? "r" : "c";
}

// Every interface is dual; its vtable part lists the members in declaration
// order with the documented dispatch numbers and a help string each.
TEST(TypeLibrary, InterfacesMatchTheCatalogue) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib.put()), S_OK);
  Bstr lib_name, lib_help;
  ASSERT_EQ(lib->GetDocumentation(-1, lib_name.put(), lib_help.put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(lib_name.get()) + " / " + Narrow(lib_help.get()), "VESKMAILLib / VeskMail components 1.0");
  for (const auto& [iid, members] : kCatalogue) {
    std::string expected;
    std::istringstream tokens(members);
    for (std::string token; tokens >> token;) {
      const size_t slash = token.find('/'), second = token.rfind('/');
      for (size_t k = slash + 1; k < second; ++k) {
        expected += token.substr(0, slash) + "/" + token[k] + "/" + token.substr(second + 1) + " ";
      }
    }
    ComPtr<ITypeInfo> dispatch_info, info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*iid, dispatch_info.put()), S_OK);
    HREFTYPE vtable_ref = 0;
    ASSERT_EQ(dispatch_info->GetRefTypeOfImplType(-1, &vtable_ref), S_OK) << members << " is not dual";
    ASSERT_EQ(dispatch_info->GetRefTypeInfo(vtable_ref, info.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    const UINT count = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    std::string actual;
    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
      Bstr name, help;
      info->GetDocumentation(function->memid, name.put(), help.put(), nullptr, nullptr);
      actual += Narrow(name.get()) + "/" + KindsOf(function->invkind) + "/" + std::to_string(function->memid) + " ";
      EXPECT_EQ(function->oVft, static_cast<SHORT>((FirstSlot(iid) + i) * sizeof(void*))) << Narrow(name.get());
      EXPECT_GT(help.length(), 10u) << Narrow(name.get()) << " has no help string";
      info->ReleaseFuncDesc(function);
    }
    EXPECT_EQ(actual, expected);
  }
  for (const auto& [clsid, name, prog_id] : kClasses) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*clsid, info.put()), S_OK);
    Bstr actual;
    info->GetDocumentation(MEMBERID_NIL, actual.put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(std::wstring(actual.get()), name);
  }
}

TEST(TypeLibrary, EnumerationsHaveTheirValues) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib.put()), S_OK);
  std::string actual;
  for (const wchar_t* name : {L"ADDRESS_CHECK_MODE", L"IMAP_MESSAGE_FLAG", L"CONNECTION_SECURITY", L"AUTH_METHOD"}) {
    ComPtr<ITypeInfo> info;
    MEMBERID id = 0;
    USHORT found = 1;
    ASSERT_EQ(lib->FindName(const_cast<LPOLESTR>(name), 0, info.put(), &id, &found), S_OK);
    for (UINT i = 0; found == 1; ++i) {
      VARDESC* variable = nullptr;
      if (FAILED(info->GetVarDesc(i, &variable))) break;
      Bstr member;
      info->GetDocumentation(variable->memid, member.put(), nullptr, nullptr, nullptr);
      actual += Narrow(member.get()) + "=" + std::to_string(V_I4(variable->lpvarValue)) + " ";
      info->ReleaseVarDesc(variable);
    }
  }
  EXPECT_EQ(actual, "SYNTAX_ADDRESS_CHECK=0 FULL_ADDRESS_CHECK=1 IMAP_MESSAGE_FLAG_NONE=0 IMAP_MESSAGE_FLAG_SEEN=1 "
                    "IMAP_MESSAGE_FLAG_ANSWERED=2 IMAP_MESSAGE_FLAG_FLAGGED=4 IMAP_MESSAGE_FLAG_DELETED=8 "
                    "IMAP_MESSAGE_FLAG_DRAFT=16 IMAP_MESSAGE_FLAG_RECENT=32 CONNECTION_SECURITY_NONE=0 "
                    "CONNECTION_SECURITY_STARTTLS=1 CONNECTION_SECURITY_TLS=2 AUTH_METHOD_AUTOMATIC=0 AUTH_METHOD_PLAIN=1 "
                    "AUTH_METHOD_LOGIN=2 AUTH_METHOD_XOAUTH2=3 AUTH_METHOD_OAUTHBEARER=4 ");
}

}  // namespace
}  // namespace vesk::test
