// What DllRegisterServer writes and DllUnregisterServer removes.
#include <gtest/gtest.h>

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
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

struct ClassCase {
  const CLSID* clsid;
  const wchar_t* description;
  const wchar_t* prog_id;
};

const ClassCase kClasses[] = {
    {&CLSID_VeskPOP3, L"VeskPOP3 Class", L"VeskMail.POP3"},
    {&CLSID_VeskSMTP, L"VeskSMTP Class", L"VeskMail.SMTP"},
    {&CLSID_VeskIMAP4, L"VeskIMAP4 Class", L"VeskMail.IMAP4"},
    {&CLSID_MIMEMessage, L"MIMEMessage Class", L"VeskMail.MIMEMessage"},
};

const IID* const kInterfaces[] = {&IID_IVeskPOP3,    &IID_IVeskSMTP,  &IID_IVeskIMAP4,
                                  &IID_IMIMEMessage, &IID_IMailAddress, &IID_IMailAddresses,
                                  &IID_IMimeBody,    &IID_IMimeBodies, &IID_IFieldDictionary,
                                  &IID_IVeskPOP3Ex,  &IID_IVeskSMTPEx, &IID_IVeskIMAP4Ex};

class Registration : public testing::Test {
 protected:
  // Every test leaves the DLL registered, as the other tests need it.
  void TearDown() override { EXPECT_EQ(DllExport<ServerFunction>("DllRegisterServer")(), S_OK); }
  static HRESULT Register() { return DllExport<ServerFunction>("DllRegisterServer")(); }
  static HRESULT Unregister() { return DllExport<ServerFunction>("DllUnregisterServer")(); }
};

TEST_F(Registration, WritesTheClassKeys) {
  ASSERT_EQ(Register(), S_OK);
  const std::wstring libid = GuidText(LIBID_VESKMAILLib);
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(Narrow(c.prog_id));
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring versioned = std::wstring(c.prog_id) + L".1";
    EXPECT_EQ(Value(versioned), c.description);
    EXPECT_EQ(Value(versioned + L"\\CLSID"), clsid);
    EXPECT_EQ(Value(c.prog_id), c.description);
    EXPECT_EQ(Value(std::wstring(c.prog_id) + L"\\CLSID"), clsid);
    EXPECT_EQ(Value(std::wstring(c.prog_id) + L"\\CurVer"), versioned);
    const std::wstring key = L"CLSID\\" + clsid;
    EXPECT_EQ(Value(key), c.description);
    EXPECT_EQ(Value(key + L"\\ProgID"), versioned);
    EXPECT_EQ(Value(key + L"\\VersionIndependentProgID"), std::wstring(c.prog_id));
    EXPECT_TRUE(KeyExists(key + L"\\Programmable"));
    EXPECT_EQ(Value(key + L"\\InprocServer32"), DllPath());
    EXPECT_EQ(Value(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Value(key + L"\\TypeLib"), libid);
  }
}

TEST_F(Registration, RegistersTheTypeLibraryWithTheDllsDirectoryForHelp) {
  ASSERT_EQ(Register(), S_OK);
  const std::wstring key = L"TypeLib\\" + GuidText(LIBID_VESKMAILLib) + L"\\1.0";
  EXPECT_EQ(Value(key), L"VeskMail components 1.0");
  const std::wstring dll = DllPath();
  const std::wstring directory = dll.substr(0, dll.find_last_of(L'\\'));
  std::optional<std::wstring> help = Value(key + L"\\HELPDIR");
  ASSERT_TRUE(help);
  EXPECT_EQ(help->substr(0, directory.size()), directory);
  EXPECT_EQ(Value(key + kTypeLibPlatform), dll);
  for (const IID* iid : kInterfaces) EXPECT_TRUE(KeyExists(L"Interface\\" + GuidText(*iid)));
}

TEST_F(Registration, ReplacesAStaleClassKeyWhole) {
  const std::wstring stale = L"CLSID\\" + GuidText(CLSID_VeskSMTP) + L"\\LocalServer32";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Register(), S_OK);
  EXPECT_FALSE(KeyExists(stale));
  EXPECT_TRUE(KeyExists(L"CLSID\\" + GuidText(CLSID_VeskSMTP) + L"\\InprocServer32"));
}

// A copy of the DLL without its embedded type library registers the .tlb file
// that stands beside it.
TEST_F(Registration, FallsBackToATlbFileBesideTheDll) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"vesk-tlb-fallback";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring copy = folder + L"\\veskcopy.dll";
  const std::wstring tlb = folder + L"\\veskcopy.tlb";
  ASSERT_TRUE(CopyFileW(DllPath().c_str(), copy.c_str(), FALSE));
  const std::wstring dll = DllPath();
  const std::wstring built_tlb = dll.substr(0, dll.find_last_of(L'\\')) + L"\\..\\generated\\veskmail.tlb";
  ASSERT_TRUE(CopyFileW(built_tlb.c_str(), tlb.c_str(), FALSE));

  // Rename the resource type in the copy's resource directory, so that the
  // type library is no longer found in it.
  std::string image;
  {
    HANDLE file = CreateFileW(copy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    image.resize(GetFileSize(file, nullptr));
    DWORD got = 0;
    ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &got, nullptr);
    CloseHandle(file);
  }
  const std::string type_name(reinterpret_cast<const char*>(L"TYPELIB"), 7 * sizeof(wchar_t));
  size_t renamed = 0;
  for (size_t at = image.find(type_name); at != std::string::npos; at = image.find(type_name, at + 1)) {
    image[at + 6 * sizeof(wchar_t)] = 'X';
    ++renamed;
  }
  ASSERT_GT(renamed, 0u);
  {
    HANDLE file = CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, image.data(), static_cast<DWORD>(image.size()), &written, nullptr);
    CloseHandle(file);
  }

  HMODULE module = LoadLibraryW(copy.c_str());
  ASSERT_NE(module, nullptr);
  ComPtr<ITypeLib> embedded;
  EXPECT_TRUE(FAILED(LoadTypeLibEx(copy.c_str(), REGKIND_NONE, embedded.put()))) << "resource still present";
  auto register_copy = reinterpret_cast<ServerFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  ASSERT_EQ(register_copy(), S_OK);
  const std::wstring key = L"TypeLib\\" + GuidText(LIBID_VESKMAILLib) + L"\\1.0" + kTypeLibPlatform;
  EXPECT_EQ(Value(key), tlb);
  FreeLibrary(module);
  DeleteFileW(copy.c_str());
  DeleteFileW(tlb.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(Registration, UnregistrationRemovesWhatRegistrationWrote) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(Unregister(), S_OK);
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(Narrow(c.prog_id));
    EXPECT_FALSE(KeyExists(c.prog_id));
    EXPECT_FALSE(KeyExists(std::wstring(c.prog_id) + L".1"));
    EXPECT_FALSE(KeyExists(L"CLSID\\" + GuidText(*c.clsid)));
  }
  EXPECT_TRUE(KeyExists(L"CLSID"));
  EXPECT_FALSE(KeyExists(L"TypeLib\\" + GuidText(LIBID_VESKMAILLib)));
  for (const IID* iid : kInterfaces) EXPECT_FALSE(KeyExists(L"Interface\\" + GuidText(*iid)));
  CLSID clsid;
  EXPECT_TRUE(FAILED(CLSIDFromProgID(L"VeskMail.SMTP", &clsid)));
}

}  // namespace
}  // namespace vesk::test
