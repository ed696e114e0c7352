#pragma once

#include <string>
#include <vector>

#include "automation/frame/win.h"

namespace vesk::com {

HRESULT RegisterServer();
HRESULT UnregisterServer();

// The same classes and type library for the current user only, under
// HKCU\Software\Classes (no administrator rights needed); unregistration
// removes exactly what registration wrote there.
HRESULT RegisterServerForUser();
HRESULT UnregisterServerForUser();

// One value that registration writes under a classes root (HKEY_CLASSES_ROOT,
// or HKCU\Software\Classes for the user). `name` empty is the key's default
// value. What `data` holds depends on `kind`: the DLL's full path, the folder
// it lies in (ending in a backslash), other text, or nothing at all (the key
// is only created, with no value).
struct RegistryValue {
  enum class Kind { kText, kModulePath, kModuleFolder, kKeyOnly };
  Kind kind = Kind::kText;
  std::wstring key;
  std::wstring name;
  std::wstring data;
};

// Every value registration writes for the DLL at `dll_path`, in order: each
// class of the class table (ProgIDs and class key), then the type library and
// its automation interfaces as the system's type-library registration writes
// them. The per-user registration writes exactly these; the machine-wide one
// writes the classes and leaves the library to the system. The installer
// packages are generated from this list (tools/installer/).
HRESULT RegistryValuesFor(const std::wstring& dll_path, std::vector<RegistryValue>& values);

}  // namespace vesk::com
