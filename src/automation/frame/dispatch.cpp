#include "automation/frame/dispatch.h"

#include <map>
#include <mutex>

#include "automation/frame/com_ptr.h"
#include "automation/frame/module.h"

namespace vesk::com {
namespace {

struct IidLess {
  bool operator()(const IID& a, const IID& b) const { return memcmp(&a, &b, sizeof(IID)) < 0; }
};

std::map<IID, ITypeInfo*, IidLess>& Cache() {
  static std::map<IID, ITypeInfo*, IidLess> cache;
  return cache;
}

}  // namespace

HRESULT LoadLibraryTypeLib(ITypeLib** lib) {
  HRESULT hr = LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib);
  if (SUCCEEDED(hr)) return hr;
  return LoadTypeLibEx(Module::FilePath().c_str(), REGKIND_NONE, lib);
}

HRESULT TypeInfoFor(REFIID iid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  std::lock_guard<std::mutex> guard(Module::Mutex());
  auto& cache = Cache();
  if (auto found = cache.find(iid); found != cache.end()) {
    *info = found->second;
    return S_OK;
  }
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadLibraryTypeLib(lib.put());
  if (FAILED(hr)) return hr;
  ITypeInfo* loaded = nullptr;
  hr = lib->GetTypeInfoOfGuid(iid, &loaded);
  if (FAILED(hr)) return hr;
  cache.emplace(iid, loaded);
  *info = loaded;
  return S_OK;
}

void ReleaseTypeInfoCache() {
  std::lock_guard<std::mutex> guard(Module::Mutex());
  for (auto& entry : Cache()) entry.second->Release();
  Cache().clear();
}

}  // namespace vesk::com
