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

// Creates (or opens) HKCR\<path> and sets its default value, and a named
// value when `name` is given.
HRESULT WriteKey(const std::wstring& path, const wchar_t* value, const wchar_t* name = nullptr,
                 const wchar_t* named_value = nullptr) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  auto set = [&](const wchar_t* value_name, const wchar_t* data) {
    const DWORD bytes = static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
  };
  if (value) status = set(nullptr, value);
  if (status == ERROR_SUCCESS && name) status = set(name, named_value);
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(status);
}

void DeleteTree(const std::wstring& path) { RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str()); }

HRESULT RegisterClass(const ClassEntry& entry, const std::wstring& dll_path) {
  const std::wstring clsid = GuidText(*entry.clsid);
  const std::wstring versioned = entry.versioned_prog_id;
  const std::wstring independent = entry.prog_id;
  const std::wstring class_key = L"CLSID\\" + clsid;
  const std::wstring libid = GuidText(LIBID_VESKMAILLib);

  HRESULT hr = WriteKey(versioned, entry.description);
  if (SUCCEEDED(hr)) hr = WriteKey(versioned + L"\\CLSID", clsid.c_str());
  if (SUCCEEDED(hr)) hr = WriteKey(independent, entry.description);
  if (SUCCEEDED(hr)) hr = WriteKey(independent + L"\\CLSID", clsid.c_str());
  if (SUCCEEDED(hr)) hr = WriteKey(independent + L"\\CurVer", versioned.c_str());
  if (FAILED(hr)) return hr;

  // The class key is written afresh: whatever an earlier registration left
  // under it goes.
  DeleteTree(class_key);
  hr = WriteKey(class_key, entry.description);
  if (SUCCEEDED(hr)) hr = WriteKey(class_key + L"\\ProgID", versioned.c_str());
  if (SUCCEEDED(hr)) hr = WriteKey(class_key + L"\\VersionIndependentProgID", independent.c_str());
  if (SUCCEEDED(hr)) hr = WriteKey(class_key + L"\\Programmable", nullptr);
  if (SUCCEEDED(hr)) hr = WriteKey(class_key + L"\\InprocServer32", dll_path.c_str(), L"ThreadingModel", L"Apartment");
  if (SUCCEEDED(hr)) hr = WriteKey(class_key + L"\\TypeLib", libid.c_str());
  return hr;
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

}  // namespace

HRESULT RegisterServer() {
  const std::wstring dll_path = Module::FilePath();
  for (const ClassEntry& entry : ClassTable()) {
    const HRESULT hr = RegisterClass(entry, dll_path);
    if (FAILED(hr)) return hr;
  }
  ComPtr<ITypeLib> lib;
  std::wstring source;
  HRESULT hr = LoadOwnTypeLib(dll_path, lib.put(), source);
  if (FAILED(hr)) return hr;
  std::wstring help_dir = dll_path.substr(0, dll_path.find_last_of(L"\\/") + 1);
  return RegisterTypeLib(lib.get(), source.data(), help_dir.data());
}

HRESULT UnregisterServer() {
  for (const ClassEntry& entry : ClassTable()) {
    DeleteTree(entry.versioned_prog_id);
    DeleteTree(entry.prog_id);
    DeleteTree(L"CLSID\\" + GuidText(*entry.clsid));
  }
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

}  // namespace vesk::com
