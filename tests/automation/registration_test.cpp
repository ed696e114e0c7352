// What DllRegisterServer writes and DllUnregisterServer removes, and the type
// library as callers, object browsers and the member reference read it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

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
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

const std::tuple<const CLSID*, const wchar_t*, const wchar_t*> kClasses[] = {
    {&CLSID_VeskPOP3, L"VeskPOP3", L"VeskMail.POP3"},
    {&CLSID_VeskSMTP, L"VeskSMTP", L"VeskMail.SMTP"},
    {&CLSID_VeskIMAP4, L"VeskIMAP4", L"VeskMail.IMAP4"},
    {&CLSID_MIMEMessage, L"MIMEMessage", L"VeskMail.MIMEMessage"},
    {&CLSID_VeskOAuth2, L"VeskOAuth2", L"VeskMail.OAuth2"},
    {&CLSID_VeskMailAPI, L"VeskMailAPI", L"VeskMail.MailAPI"}};

const IID* const kInterfaces[] = {
    &IID_IVeskPOP3,      &IID_IVeskSMTP,    &IID_IVeskIMAP4,     &IID_IMIMEMessage,     &IID_IMailAddress,
    &IID_IMailAddresses, &IID_IMimeBody,    &IID_IMimeBodies,    &IID_IFieldDictionary, &IID_IVeskPOP3Ex,
    &IID_IVeskSMTPEx,    &IID_IVeskIMAP4Ex, &IID_IMIMEMessageEx, &IID_IVeskOAuth2,
    &IID_IVeskMailAPI};

class Registration : public testing::Test {
 protected:
  // Every test leaves the DLL registered, as the other tests need it.
  void TearDown() override { EXPECT_EQ(Register(), S_OK); }
  static HRESULT Register() { return DllExport<ServerFunction>("DllRegisterServer")(); }
  static HRESULT Unregister() { return DllExport<ServerFunction>("DllUnregisterServer")(); }
};

TEST_F(Registration, WritesTheKeysAndUnregistrationRemovesThem) {
  const std::wstring stale = L"CLSID\\" + GuidText(CLSID_VeskSMTP) + L"\\LocalServer32";
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Register(), S_OK);
  EXPECT_FALSE(KeyExists(stale)) << "a stale class key is replaced whole";
  const std::wstring libid = GuidText(LIBID_VESKMAILLib), lib_key = L"TypeLib\\" + libid, dll = DllPath();
  // A key, the name of one of its values (null: the default value) and what
  // that holds; an empty expectation asks only that the key exists.
  std::vector<std::tuple<std::wstring, const wchar_t*, std::wstring>> written = {
      {lib_key, nullptr, L""},
      {lib_key + L"\\1.0", nullptr, L"VeskMail components 1.0"},
      {lib_key + L"\\1.0" + kTypeLibPlatform, nullptr, dll}};
  for (const auto& [clsid_value, name, prog_id_text] : kClasses) {
    const std::wstring prog_id = prog_id_text, versioned = prog_id + L".1", clsid = GuidText(*clsid_value);
    const std::wstring description = std::wstring(name) + L" Class", key_path = L"CLSID\\" + clsid;
    written.insert(written.end(), {{versioned, nullptr, description},
                                   {versioned + L"\\CLSID", nullptr, clsid},
                                   {prog_id, nullptr, description},
                                   {prog_id + L"\\CLSID", nullptr, clsid},
                                   {prog_id + L"\\CurVer", nullptr, versioned},
                                   {key_path, nullptr, description},
                                   {key_path + L"\\ProgID", nullptr, versioned},
                                   {key_path + L"\\VersionIndependentProgID", nullptr, prog_id},
                                   {key_path + L"\\Programmable", nullptr, L""},
                                   {key_path + L"\\InprocServer32", nullptr, dll},
                                   {key_path + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
                                   {key_path + L"\\TypeLib", nullptr, libid}});
  }
  for (const IID* iid : kInterfaces) written.push_back({L"Interface\\" + GuidText(*iid), nullptr, L""});
  for (const auto& [path, name, expected] : written) {
    const std::wstring found =
        expected.empty() ? (KeyExists(path) ? L"" : L"(no key)") : Value(path, name).value_or(L"(none)");
    EXPECT_EQ(Narrow(found), Narrow(expected)) << Narrow(path) << (name ? " " + Narrow(name) : "");
  }
  const std::wstring directory = dll.substr(0, dll.find_last_of(L'\\'));
  EXPECT_EQ(Value(lib_key + L"\\1.0\\HELPDIR").value_or(L"").substr(0, directory.size()), directory);

  ASSERT_EQ(Unregister(), S_OK);
  for (const auto& [path, name, expected] : written)
    EXPECT_FALSE(KeyExists(path)) << Narrow(path) << " is left";
  EXPECT_TRUE(KeyExists(L"CLSID"));
}

std::string NameOf(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  Bstr name;
  info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr);
  return Narrow(name.get());
}

const char* KindOf(INVOKEKIND kind) {
  return kind == INVOKE_PROPERTYGET      ? "property get"
         : kind == INVOKE_PROPERTYPUT    ? "property let"
         : kind == INVOKE_PROPERTYPUTREF ? "property set"
                                         : "method";
}

// The registered type library against the committed member reference
// (docs/reference.md), the catalogue of every class, enumeration value and
// member with its dispatch number (which never change). A class is a row of
// its class table; any other type has a section whose rows list every value,
// or every member with its kind, in declaration order. Every interface is
// dual and for automation, extends the interface its section names in the
// vtable slots after that one's, and has a help string for each member.
TEST(TypeLibrary, MatchesTheCommittedReference) {
  std::ifstream file("Z:" VESK_SOURCE_DIR "/docs/reference.md", std::ios::binary);
  const std::string reference{std::istreambuf_iterator<char>(file), {}};
  ASSERT_GT(reference.size(), 10000u) << "docs/reference.md cannot be read";
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib.put()), S_OK);
  Bstr lib_name, lib_help;
  ASSERT_EQ(lib->GetDocumentation(-1, lib_name.put(), lib_help.put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(lib_name.get()) + " / " + Narrow(lib_help.get()), "VESKMAILLib / VeskMail components 1.0");
  size_t classes = 0, interfaces = 0;
  for (UINT index = 0; index < lib->GetTypeInfoCount(); ++index) {
    ComPtr<ITypeInfo> info;
    TYPEKIND kind;
    ASSERT_EQ(lib->GetTypeInfoType(index, &kind), S_OK);
    ASSERT_EQ(lib->GetTypeInfo(index, info.put()), S_OK);
    const std::string name = NameOf(info.get());
    SCOPED_TRACE(name);
    size_t at =
        reference.find(kind == TKIND_COCLASS ? "\n| " + name + " | `VeskMail." : "\n### " + name + "\n");
    ASSERT_NE(at, std::string::npos) << "missing from the reference";
    TYPEATTR* attributes = nullptr;
    if (kind == TKIND_COCLASS) {
      ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
      for (const auto& [clsid, class_name, prog_id] : kClasses) {
        classes += IsEqualCLSID(attributes->guid, *clsid) && Narrow(class_name) == name;
      }
      info->ReleaseTypeAttr(attributes);
      continue;
    }
    const std::string section = reference.substr(at, reference.find("\n#", at + 1) - at);
    UINT slot = 0;  // of the first member
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    // The event interface is a pure dispinterface: no vtable side.
    const bool events = kind == TKIND_DISPATCH && !(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attributes);
    if (kind != TKIND_ENUM && !events) {
      HREFTYPE vtable_side = 0, base_ref = 0;  // a dual interface's own members are on its vtable side
      ASSERT_EQ(info->GetRefTypeOfImplType(-1, &vtable_side), S_OK) << "not dual";
      ComPtr<ITypeInfo> dispatch(info), base;
      ASSERT_EQ(dispatch->GetRefTypeInfo(vtable_side, info.put()), S_OK);
      ASSERT_EQ(info->GetRefTypeOfImplType(0, &base_ref), S_OK);
      ASSERT_EQ(info->GetRefTypeInfo(base_ref, base.put()), S_OK);
      EXPECT_NE(section.find("\n- Derives from: " + NameOf(base.get()) + "\n"), std::string::npos);
      ASSERT_EQ(base->GetTypeAttr(&attributes), S_OK);
      slot = attributes->cbSizeVft / sizeof(void*);
      base->ReleaseTypeAttr(attributes);
    }
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    if (kind != TKIND_ENUM && !events) {
      EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
      for (const IID* iid : kInterfaces) interfaces += IsEqualIID(attributes->guid, *iid);
    }
    std::vector<std::string> rows;  // in the order the section must list them
    for (UINT i = 0; i < attributes->cVars; ++i) {
      VARDESC* variable = nullptr;
      ASSERT_EQ(info->GetVarDesc(i, &variable), S_OK);
      rows.push_back("`" + NameOf(info.get(), variable->memid) + "` | " +
                     std::to_string(V_I4(variable->lpvarValue)) + " |");
      info->ReleaseVarDesc(variable);
    }
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
      Bstr member, help;
      info->GetDocumentation(function->memid, member.put(), help.put(), nullptr, nullptr);
      if (!events) EXPECT_EQ(function->oVft, static_cast<SHORT>((slot + i) * sizeof(void*))) << Narrow(member.get());
      EXPECT_GT(help.length(), 10u) << Narrow(member.get()) << " has no help string";
      char id[16];
      snprintf(id, sizeof id, function->memid > 0xFFFF ? "0x%08lX" : "%ld",
               static_cast<long>(function->memid));
      rows.push_back(std::string(id) + " | `" + Narrow(member.get()) + "` | " + KindOf(function->invkind));
      info->ReleaseFuncDesc(function);
    }
    info->ReleaseTypeAttr(attributes);
    at = 0;
    for (const std::string& row : rows) {
      const size_t found = section.find("\n| " + row, at);
      EXPECT_NE(found, std::string::npos) << "no row \"| " << row << "\" after the rows before it";
      at = found == std::string::npos ? at : found + 1;
    }
  }
  EXPECT_EQ(classes, std::size(kClasses));
  EXPECT_EQ(interfaces, std::size(kInterfaces));
}

}  // namespace
}  // namespace vesk::test
