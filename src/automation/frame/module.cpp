// The DLL's entry points: loading, the class objects and registration.
#include "automation/frame/module.h"

#include "automation/frame/class_factory.h"
#include "automation/frame/dispatch.h"
#include "automation/frame/registration.h"
#include "automation/frame/strings.h"

namespace vesk::com {

std::wstring Module::FilePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(instance_, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace vesk::com

using vesk::com::Module;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    Module::Attach(instance);
    DisableThreadLibraryCalls(instance);
    // The socket code relies on Windows Sockets 1.1 exactly; without it the
    // library refuses to load.
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return FALSE;
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
      WSACleanup();
      return FALSE;
    }
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary: give back what the module holds. At process
    // exit (reserved != nullptr) the system reclaims everything anyway.
    vesk::com::ReleaseClassFactories();
    vesk::com::ReleaseTypeInfoCache();
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return vesk::com::GetClassFactory(clsid, riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return Module::LockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() { return vesk::com::RegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return vesk::com::UnregisterServer(); }

// regsvr32 /n /i:user registers for the current user only, and
// regsvr32 /u /n /i:user takes that back; without a command line it does
// what DllRegisterServer and DllUnregisterServer do.
extern "C" HRESULT WINAPI DllInstall(BOOL install, PCWSTR command_line) {
  if (command_line && *command_line) {
    if (_wcsicmp(command_line, L"user") != 0) return E_INVALIDARG;
    return install ? vesk::com::RegisterServerForUser() : vesk::com::UnregisterServerForUser();
  }
  return install ? vesk::com::RegisterServer() : vesk::com::UnregisterServer();
}
