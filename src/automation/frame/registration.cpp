#include "automation/frame/registration.h"

#include <string>

#include "automation/frame/class_table.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/module.h"

namespace vesk::com {
namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Registration writes under a classes root: HKEY_CLASSES_ROOT for the
// machine, HKCU\Software\Classes for the current user only.

using Kind = RegistryValue::Kind;

// Writes each value under `root`, creating its key (and the keys above it)
// where missing.
HRESULT WriteValues(HKEY root, const std::vector<RegistryValue>& values) {
  for (const RegistryValue& value : values) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(root, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                  &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    if (value.kind != Kind::kKeyOnly) {
      const DWORD bytes = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
      status = RegSetValueExW(key, value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.data.c_str()), bytes);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

void DeleteTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

void AddValue(std::vector<RegistryValue>& values, const std::wstring& key, const std::wstring& data,
              const wchar_t* name = L"", Kind kind = Kind::kText) {
  values.push_back({kind, key, name, data});
}

std::wstring ClassKey(const ClassEntry& entry) { return L"CLSID\\" + GuidText(*entry.clsid); }

// The ProgIDs and the class key of one class.
void AddClassValues(const ClassEntry& entry, const std::wstring& dll_path, std::vector<RegistryValue>& values) {
  const std::wstring clsid = GuidText(*entry.clsid);
  const std::wstring versioned = entry.versioned_prog_id;
  const std::wstring independent = entry.prog_id;
  const std::wstring class_key = ClassKey(entry);
  AddValue(values, versioned, entry.description);
  AddValue(values, versioned + L"\\CLSID", clsid);
  AddValue(values, independent, entry.description);
  AddValue(values, independent + L"\\CLSID", clsid);
  AddValue(values, independent + L"\\CurVer", versioned);
  AddValue(values, class_key, entry.description);
  AddValue(values, class_key + L"\\ProgID", versioned);
  AddValue(values, class_key + L"\\VersionIndependentProgID", independent);
  values.push_back({Kind::kKeyOnly, class_key + L"\\Programmable", L"", L""});
  AddValue(values, class_key + L"\\InprocServer32", dll_path, L"", Kind::kModulePath);
  AddValue(values, class_key + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
  AddValue(values, class_key + L"\\TypeLib", GuidText(LIBID_VESKMAILLib));
}

HRESULT RegisterClass(HKEY root, const ClassEntry& entry, const std::wstring& dll_path) {
  std::vector<RegistryValue> values;
  AddClassValues(entry, dll_path, values);
  // The class key is written afresh: whatever an earlier registration left
  // under it goes.
  DeleteTree(root, ClassKey(entry));
  return WriteValues(root, values);
}

// The type library: from the DLL's own resource, else from a .tlb file beside
// it. `source` receives the path the library was loaded from.
HRESULT LoadOwnTypeLib(const std::wstring& dll_path, ITypeLib** lib, std::wstring& source) {
  source = dll_path;
  HRESULT hr = LoadTypeLibEx(dll_path.c_str(), REGKIND_NONE, lib);
  if (SUCCEEDED(hr)) return hr;
  const size_t slash = dll_path.find_last_of(L"\\/");
  const size_t dot = dll_path.find_last_of(L'.');
  const bool has_extension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
  source = (has_extension ? dll_path.substr(0, dot) : dll_path) + L".tlb";
  return LoadTypeLibEx(source.c_str(), REGKIND_NONE, lib);
}

void DeleteClasses(HKEY root) {
  for (const ClassEntry& entry : ClassTable()) {
    DeleteTree(root, entry.versioned_prog_id);
    DeleteTree(root, entry.prog_id);
    DeleteTree(root, ClassKey(entry));
  }
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

// The keys the system's type-library registration writes, written by hand
// under the user's classes key (some automation runtimes register a library
// machine-wide even when asked for the current user only) and by the
// installer packages. `visit` is called
// with the key of the library's version and with the key of each automation
// interface; `lib_key` is "TypeLib\{libid}".
template <class Visit>
HRESULT ForEachTypeLibKey(ITypeLib* lib, std::wstring& lib_key, Visit visit) {
  TLIBATTR* attributes = nullptr;
  HRESULT hr = lib->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  const TLIBATTR library = *attributes;
  lib->ReleaseTLibAttr(attributes);
  lib_key = L"TypeLib\\" + GuidText(library.guid);
  wchar_t version[16];
  swprintf(version, 16, L"%x.%x", library.wMajorVerNum, library.wMinorVerNum);
  hr = visit(lib_key + L"\\" + version, library, static_cast<ITypeInfo*>(nullptr));
  for (UINT index = 0; SUCCEEDED(hr) && index < lib->GetTypeInfoCount(); ++index) {
    ComPtr<ITypeInfo> info;
    TYPEATTR* type = nullptr;
    if (FAILED(lib->GetTypeInfo(index, info.put())) || FAILED(info->GetTypeAttr(&type))) continue;
    const bool automation = type->typekind == TKIND_DISPATCH ||
                            (type->typekind == TKIND_INTERFACE &&
                             (type->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) != 0);
    const std::wstring key = L"Interface\\" + GuidText(type->guid);
    info->ReleaseTypeAttr(type);
    if (automation) hr = visit(key, library, info.get());
  }
  return hr;
}

// The type library's values. `source` is the file it was loaded from.
HRESULT AddTypeLibValues(ITypeLib* lib, const std::wstring& dll_path, const std::wstring& source,
                         std::vector<RegistryValue>& values) {
  std::wstring lib_key;
  return ForEachTypeLibKey(lib, lib_key, [&](const std::wstring& key, const TLIBATTR& library, ITypeInfo* info) {
    const std::wstring libid = GuidText(library.guid);
    BSTR text = nullptr;
    if (!info) {
      lib->GetDocumentation(-1, nullptr, &text, nullptr, nullptr);
      wchar_t locale[16], flags[16];
      swprintf(locale, 16, L"%lx", static_cast<unsigned long>(library.lcid));
      swprintf(flags, 16, L"%u", library.wLibFlags);
      const wchar_t* platform = library.syskind == SYS_WIN64 ? L"win64" : L"win32";
      AddValue(values, key, text ? text : L"");
      SysFreeString(text);
      AddValue(values, key + L"\\" + locale + L"\\" + platform, source, L"",
               source == dll_path ? Kind::kModulePath : Kind::kText);
      AddValue(values, key + L"\\FLAGS", flags);
      AddValue(values, key + L"\\HELPDIR", FolderOf(dll_path), L"", Kind::kModuleFolder);
      return S_OK;
    }
    // Calls across apartments go through the universal marshaler, which
    // reads the interface from the registered type library; a pure
    // dispinterface (the events) through the IDispatch marshaler, as the
    // system registers it.
    TYPEATTR* attributes = nullptr;
    bool pure_dispatch = false;
    if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
      pure_dispatch = attributes->typekind == TKIND_DISPATCH && !(attributes->wTypeFlags & TYPEFLAG_FDUAL);
      info->ReleaseTypeAttr(attributes);
    }
    const wchar_t* marshaler =
        pure_dispatch ? L"{00020420-0000-0000-C000-000000000046}" : L"{00020424-0000-0000-C000-000000000046}";
    info->GetDocumentation(MEMBERID_NIL, &text, nullptr, nullptr, nullptr);
    wchar_t version[16];
    swprintf(version, 16, L"%x.%x", library.wMajorVerNum, library.wMinorVerNum);
    AddValue(values, key, text ? text : L"");
    SysFreeString(text);
    AddValue(values, key + L"\\ProxyStubClsid", marshaler);
    AddValue(values, key + L"\\ProxyStubClsid32", marshaler);
    AddValue(values, key + L"\\TypeLib", libid);
    AddValue(values, key + L"\\TypeLib", version, L"Version");
    return S_OK;
  });
}

void DeleteUserTypeLib(HKEY root, ITypeLib* lib) {
  std::wstring lib_key;
  ForEachTypeLibKey(lib, lib_key, [&](const std::wstring& key, const TLIBATTR&, ITypeInfo*) {
    DeleteTree(root, key);
    return S_OK;
  });
  if (!lib_key.empty()) RegDeleteKeyW(root, lib_key.c_str());  // only when no other version is left
}

// Removes <root>\<path> when it holds neither subkeys nor values.
void DeleteKeyIfEmpty(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                   nullptr);
  RegCloseKey(key);
  if (subkeys == 0 && values == 0) RegDeleteKeyW(root, path);
}

// HKCU\Software\Classes, created when missing; closes itself.
class UserClassesKey {
 public:
  UserClassesKey() {
    status_ = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
  }
  ~UserClassesKey() {
    if (key_) RegCloseKey(key_);
  }
  UserClassesKey(const UserClassesKey&) = delete;
  UserClassesKey& operator=(const UserClassesKey&) = delete;
  HKEY get() const { return key_; }
  HRESULT status() const { return HRESULT_FROM_WIN32(status_); }

 private:
  HKEY key_ = nullptr;
  LONG status_ = ERROR_SUCCESS;
};

}  // namespace

HRESULT RegisterServer() {
  const std::wstring dll_path = Module::FilePath();
  for (const ClassEntry& entry : ClassTable()) {
    const HRESULT hr = RegisterClass(HKEY_CLASSES_ROOT, entry, dll_path);
    if (FAILED(hr)) return hr;
  }
  ComPtr<ITypeLib> lib;
  std::wstring source;
  HRESULT hr = LoadOwnTypeLib(dll_path, lib.put(), source);
  if (FAILED(hr)) return hr;
  std::wstring help_dir = FolderOf(dll_path);
  return RegisterTypeLib(lib.get(), source.data(), help_dir.data());
}

HRESULT RegistryValuesFor(const std::wstring& dll_path, std::vector<RegistryValue>& values) {
  ComPtr<ITypeLib> lib;
  std::wstring source;
  HRESULT hr = LoadOwnTypeLib(dll_path, lib.put(), source);
  if (FAILED(hr)) return hr;
  for (const ClassEntry& entry : ClassTable()) AddClassValues(entry, dll_path, values);
  return AddTypeLibValues(lib.get(), dll_path, source, values);
}

HRESULT UnregisterServer() {
  DeleteClasses(HKEY_CLASSES_ROOT);
  ComPtr<ITypeLib> lib;
  std::wstring source;
  if (FAILED(LoadOwnTypeLib(Module::FilePath(), lib.put(), source))) return S_OK;

  // Looked up at run time: an automation runtime without it leaves the type
  // library registered.
  using UnregisterFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
  auto unregister =
      oleaut ? reinterpret_cast<UnregisterFunction>(reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
             : nullptr;
  if (!unregister) return S_OK;
  TLIBATTR* attributes = nullptr;
  if (FAILED(lib->GetLibAttr(&attributes))) return S_OK;
  unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
             attributes->syskind);
  lib->ReleaseTLibAttr(attributes);
  return S_OK;
}

HRESULT RegisterServerForUser() {
  UserClassesKey root;
  if (FAILED(root.status())) return root.status();
  std::vector<RegistryValue> values;
  HRESULT hr = RegistryValuesFor(Module::FilePath(), values);
  if (SUCCEEDED(hr)) {
    for (const ClassEntry& entry : ClassTable()) DeleteTree(root.get(), ClassKey(entry));
    hr = WriteValues(root.get(), values);
  }
  // A registration that stopped half-way is taken back whole.
  if (FAILED(hr)) UnregisterServerForUser();
  return hr;
}

HRESULT UnregisterServerForUser() {
  UserClassesKey root;
  if (FAILED(root.status())) return root.status();
  DeleteClasses(root.get());
  ComPtr<ITypeLib> lib;
  std::wstring source;
  if (SUCCEEDED(LoadOwnTypeLib(Module::FilePath(), lib.put(), source))) DeleteUserTypeLib(root.get(), lib.get());
  // Containers that registration may have created and that now hold nothing.
  for (const wchar_t* container : {L"CLSID", L"Interface", L"TypeLib"}) DeleteKeyIfEmpty(root.get(), container);
  return S_OK;
}

}  // namespace vesk::com
