// The type library as callers and object browsers read it from the registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/support.h"

namespace vesk::test {
namespace {

struct Member {
  const char* kind;  // get, put, putref or call
  const char* name;
  DISPID id;
};

struct InterfaceCase {
  const IID* iid;
  const char* name;
  std::vector<Member> members;
  UINT first_slot = 7;  // after IUnknown and IDispatch, and a base's members
};

constexpr DISPID kCount = 0x60020000;

// The members the derived protocol interfaces add, numbered from 1001.
std::vector<Member> SecurityMembers() {
  return {{"get", "Security", 1001}, {"put", "Security", 1001}, {"get", "VerifyCertificate", 1002},
          {"put", "VerifyCertificate", 1002}, {"get", "TlsProtocol", 1003}};
}

std::vector<InterfaceCase> Catalogue() {
  return {
      {&IID_IVeskPOP3, "IVeskPOP3",
       {{"get", "User", 1}, {"put", "User", 1}, {"get", "Password", 2}, {"put", "Password", 2},
        {"get", "Host", 3}, {"put", "Host", 3}, {"get", "Port", 4}, {"put", "Port", 4},
        {"get", "MessageCount", 5}, {"call", "Connect", 6}, {"call", "Disconnect", 7},
        {"call", "GetMessageSize", 8}, {"call", "Retrieve", 9}, {"call", "Delete", 10}, {"call", "Reset", 11},
        {"call", "RetrieveTop", 12}, {"get", "TimeOut", 13}, {"put", "TimeOut", 13},
        {"call", "OnStartPage", 14}, {"call", "OnEndPage", 15}}},
      {&IID_IVeskSMTP, "IVeskSMTP",
       {{"get", "Port", 1}, {"put", "Port", 1}, {"get", "Host", 2}, {"put", "Host", 2}, {"get", "TimeOut", 3},
        {"put", "TimeOut", 3}, {"call", "Connect", 4}, {"call", "Disconnect", 5}, {"call", "Send", 6}}},
      {&IID_IVeskIMAP4, "IVeskIMAP4",
       {{"get", "Host", 1},           {"put", "Host", 1},           {"get", "Port", 2},
        {"put", "Port", 2},           {"get", "TimeOut", 3},        {"put", "TimeOut", 3},
        {"get", "User", 4},           {"put", "User", 4},           {"get", "Password", 5},
        {"put", "Password", 5},       {"get", "MessageCount", 6},   {"get", "RecentCount", 7},
        {"get", "FirstUnseen", 8},    {"get", "MailboxName", 9},    {"put", "MailboxName", 9},
        {"call", "Connect", 10},      {"call", "Disconnect", 11},   {"call", "SelectMailbox", 12},
        {"call", "CreateMailbox", 13}, {"call", "DeleteMailbox", 14}, {"call", "RenameMailbox", 15},
        {"call", "GetMailboxesList", 16}, {"call", "AppendMessage", 17}, {"call", "DeleteMessage", 18},
        {"call", "Expunge", 19},      {"call", "CopyMessage", 20},  {"call", "Search", 21},
        {"call", "SearchByFlags", 22}, {"call", "SearchSentOn", 23}, {"call", "SearchSentBefore", 24},
        {"call", "SearchSentSince", 25}, {"call", "Retrieve", 26},  {"call", "RetrieveHeader", 27},
        {"call", "RetrieveTop", 28},  {"call", "GetMessageSize", 29}, {"call", "GetMessageFlags", 30},
        {"call", "PutMessageFlags", 31}, {"call", "UpdateStatus", 32}, {"call", "OnStartPage", 33},
        {"call", "OnEndPage", 34}}},
      {&IID_IVeskPOP3Ex, "IVeskPOP3Ex", SecurityMembers(), 7 + 20},
      {&IID_IVeskSMTPEx, "IVeskSMTPEx", SecurityMembers(), 7 + 9},
      {&IID_IVeskIMAP4Ex, "IVeskIMAP4Ex", SecurityMembers(), 7 + 40},
      {&IID_IMIMEMessage, "IMIMEMessage",
       {{"get", "Subject", 1},     {"put", "Subject", 1},     {"get", "MessageID", 2},
        {"put", "MessageID", 2},   {"get", "Text", 3},        {"put", "Text", 3},
        {"get", "Date", 4},        {"put", "Date", 4},        {"get", "From", 5},
        {"get", "To", 6},          {"get", "Cc", 7},          {"get", "Bcc", 8},
        {"get", "MimeBody", 9},    {"get", "RawMessage", 10}, {"put", "RawMessage", 10},
        {"get", "Attachments", 11}, {"get", "HeaderFields", 12}, {"call", "Append", 13},
        {"call", "Empty", 14},     {"call", "Save", 15},      {"call", "Load", 16},
        {"call", "Attach", 17},    {"call", "OnStartPage", 18}, {"call", "OnEndPage", 19},
        {"get", "UseVirtualPath", 20}, {"put", "UseVirtualPath", 20}, {"get", "DenyPhysicalPath", 21}}},
      {&IID_IMailAddress, "IMailAddress",
       {{"get", "Name", 1}, {"put", "Name", 1}, {"get", "Address", 2}, {"put", "Address", 2}, {"call", "Check", 3}}},
      {&IID_IMailAddresses, "IMailAddresses",
       {{"get", "Count", kCount}, {"get", "Item", DISPID_VALUE}, {"get", "_NewEnum", DISPID_NEWENUM},
        {"call", "Add", 1}, {"call", "Remove", 2}, {"call", "Clear", 3}}},
      {&IID_IMimeBody, "IMimeBody",
       {{"get", "ContentEncoding", 1}, {"put", "ContentEncoding", 1}, {"get", "ContentType", 2},
        {"put", "ContentType", 2},     {"get", "Charset", 3},         {"put", "Charset", 3},
        {"get", "FileName", 4},        {"put", "FileName", 4},        {"get", "SimpleContent", 5},
        {"get", "RawMessage", 6},      {"put", "RawMessage", 6},      {"get", "MimeBodies", 7},
        {"get", "HeaderFields", 8},    {"call", "LoadFile", 9},       {"call", "Save", 10},
        {"get", "UseVirtualPath", 11}, {"put", "UseVirtualPath", 11}, {"get", "DenyPhysicalPath", 12},
        {"call", "Load", 13}}},
      {&IID_IMimeBodies, "IMimeBodies",
       {{"get", "Count", kCount}, {"get", "Item", DISPID_VALUE}, {"get", "_NewEnum", DISPID_NEWENUM},
        {"call", "Add", 1}, {"call", "Remove", 2}, {"call", "Clear", 3}}},
      {&IID_IFieldDictionary, "IFieldDictionary",
       {{"get", "Count", 1}, {"put", "Key", 2}, {"get", "Item", 3}, {"put", "Item", 3}, {"putref", "Item", 3},
        {"call", "Add", 4}, {"call", "Exists", 5}, {"call", "Remove", 6}, {"call", "RemoveAll", 7},
        {"call", "FieldsNames", 8}, {"call", "FieldsValues", 9}}},
  };
}

const char* KindName(INVOKEKIND kind) {
  switch (kind) {
    case INVOKE_PROPERTYGET: return "get";
    case INVOKE_PROPERTYPUT: return "put";
    case INVOKE_PROPERTYPUTREF: return "putref";
    default: return "call";
  }
}

class RegisteredTypeLib : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib_.put()), S_OK); }
  ComPtr<ITypeLib> lib_;
};

TEST_F(RegisteredTypeLib, HasItsNameVersionAndHelpString) {
  Bstr name, help;
  ASSERT_EQ(lib_->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(std::wstring(name.get()), L"VESKMAILLib");
  EXPECT_EQ(std::wstring(help.get()), L"VeskMail components 1.0");
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->wMajorVerNum, 1);
  EXPECT_EQ(attributes->wMinorVerNum, 0);
  lib_->ReleaseTLibAttr(attributes);
}

// Every interface is dual, and its vtable part lists the members in
// declaration order with the documented dispatch numbers and a help string.
TEST_F(RegisteredTypeLib, InterfacesMatchTheCatalogue) {
  for (const InterfaceCase& expected : Catalogue()) {
    SCOPED_TRACE(expected.name);
    ComPtr<ITypeInfo> dispatch_info;
    ASSERT_EQ(lib_->GetTypeInfoOfGuid(*expected.iid, dispatch_info.put()), S_OK);
    TYPEATTR* dispatch_attributes = nullptr;
    ASSERT_EQ(dispatch_info->GetTypeAttr(&dispatch_attributes), S_OK);
    EXPECT_TRUE(dispatch_attributes->wTypeFlags & TYPEFLAG_FDUAL);
    dispatch_info->ReleaseTypeAttr(dispatch_attributes);

    HREFTYPE vtable_ref = 0;
    ASSERT_EQ(dispatch_info->GetRefTypeOfImplType(-1, &vtable_ref), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatch_info->GetRefTypeInfo(vtable_ref, info.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    const UINT count = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    ASSERT_EQ(count, expected.members.size());

    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
      Bstr name, help;
      info->GetDocumentation(function->memid, name.put(), help.put(), nullptr, nullptr);
      const Member& member = expected.members[i];
      EXPECT_EQ(Narrow(name.get()), member.name) << "member " << i;
      EXPECT_STREQ(KindName(function->invkind), member.kind) << member.name;
      EXPECT_EQ(function->memid, member.id) << member.name;
      EXPECT_EQ(function->oVft, static_cast<SHORT>((expected.first_slot + i) * sizeof(void*))) << member.name;
      EXPECT_GT(help.length(), 10u) << member.name << " has no help string";
      info->ReleaseFuncDesc(function);
    }
  }
}

TEST_F(RegisteredTypeLib, EnumerationsHaveTheirValues) {
  struct EnumCase {
    const wchar_t* name;
    std::vector<std::pair<std::string, LONG>> values;
  };
  const EnumCase cases[] = {
      {L"ADDRESS_CHECK_MODE", {{"SYNTAX_ADDRESS_CHECK", 0}, {"FULL_ADDRESS_CHECK", 1}}},
      {L"CONNECTION_SECURITY",
       {{"CONNECTION_SECURITY_NONE", 0}, {"CONNECTION_SECURITY_STARTTLS", 1}, {"CONNECTION_SECURITY_TLS", 2}}},
      {L"IMAP_MESSAGE_FLAG",
       {{"IMAP_MESSAGE_FLAG_NONE", 0},
        {"IMAP_MESSAGE_FLAG_SEEN", 1},
        {"IMAP_MESSAGE_FLAG_ANSWERED", 2},
        {"IMAP_MESSAGE_FLAG_FLAGGED", 4},
        {"IMAP_MESSAGE_FLAG_DELETED", 8},
        {"IMAP_MESSAGE_FLAG_DRAFT", 16},
        {"IMAP_MESSAGE_FLAG_RECENT", 32}}},
  };
  for (const EnumCase& expected : cases) {
    SCOPED_TRACE(Narrow(expected.name));
    ComPtr<ITypeInfo> info;
    MEMBERID id = 0;
    USHORT found = 1;
    ITypeInfo* raw = nullptr;
    ASSERT_EQ(lib_->FindName(const_cast<LPOLESTR>(expected.name), 0, &raw, &id, &found), S_OK);
    ASSERT_EQ(found, 1);
    info = ComPtr<ITypeInfo>::Adopt(raw);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const TYPEKIND kind = attributes->typekind;
    const UINT count = attributes->cVars;
    info->ReleaseTypeAttr(attributes);
    ASSERT_EQ(kind, TKIND_ENUM);
    ASSERT_EQ(count, expected.values.size());
    for (UINT i = 0; i < count; ++i) {
      VARDESC* variable = nullptr;
      ASSERT_EQ(info->GetVarDesc(i, &variable), S_OK);
      Bstr name;
      info->GetDocumentation(variable->memid, name.put(), nullptr, nullptr, nullptr);
      EXPECT_EQ(Narrow(name.get()), expected.values[i].first);
      EXPECT_EQ(V_I4(variable->lpvarValue), expected.values[i].second);
      info->ReleaseVarDesc(variable);
    }
  }
}

TEST_F(RegisteredTypeLib, DescribesTheFourClasses) {
  const std::pair<const CLSID*, const wchar_t*> classes[] = {{&CLSID_VeskPOP3, L"VeskPOP3"},
                                                             {&CLSID_VeskSMTP, L"VeskSMTP"},
                                                             {&CLSID_VeskIMAP4, L"VeskIMAP4"},
                                                             {&CLSID_MIMEMessage, L"MIMEMessage"}};
  for (const auto& [clsid, name] : classes) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(lib_->GetTypeInfoOfGuid(*clsid, info.put()), S_OK);
    Bstr actual;
    info->GetDocumentation(MEMBERID_NIL, actual.put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(std::wstring(actual.get()), name);
  }
}

}  // namespace
}  // namespace vesk::test
