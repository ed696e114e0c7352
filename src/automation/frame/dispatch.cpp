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

namespace {

// Appends the text-property readers that one interface declares.
void AppendTextGetters(ITypeInfo* info, const TYPEATTR& attributes, std::vector<TextGetter>& getters) {
  for (UINT i = 0; i < attributes.cFuncs; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(i, &function))) continue;
    const bool reads_text = function->invkind == INVOKE_PROPERTYGET && function->cParams == 1 &&
                            function->cParamsOpt == 0 && function->callconv == CC_STDCALL &&
                            (function->funckind == FUNC_PUREVIRTUAL || function->funckind == FUNC_VIRTUAL) &&
                            function->lprgelemdescParam[0].tdesc.vt == VT_PTR &&
                            function->lprgelemdescParam[0].tdesc.lptdesc->vt == VT_BSTR &&
                            (function->lprgelemdescParam[0].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) &&
                            function->oVft % sizeof(void*) == 0;
    if (reads_text) getters.push_back({function->memid, static_cast<size_t>(function->oVft) / sizeof(void*)});
    info->ReleaseFuncDesc(function);
  }
}

// The type information that `info` refers to through implemented type `index`
// (-1: the interface side of a dual dispinterface; 0: the base interface).
ComPtr<ITypeInfo> Referenced(ITypeInfo* info, UINT index) {
  ComPtr<ITypeInfo> referenced;
  HREFTYPE reference = 0;
  if (SUCCEEDED(info->GetRefTypeOfImplType(index, &reference))) info->GetRefTypeInfo(reference, referenced.put());
  return referenced;
}

}  // namespace

std::vector<TextGetter> FindTextGetters(ITypeInfo* dispatch_info) {
  std::vector<TextGetter> getters;
  ComPtr<ITypeInfo> info(dispatch_info);
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return getters;
  const bool dual_dispatch = attributes->typekind == TKIND_DISPATCH && (attributes->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attributes);
  if (dual_dispatch) info = Referenced(info.get(), static_cast<UINT>(-1));
  // The interface, then each base up the chain (IDispatch and IUnknown have
  // no text properties and end it).
  for (int depth = 0; info && depth < 8; ++depth) {
    if (FAILED(info->GetTypeAttr(&attributes))) break;
    const bool is_interface = attributes->typekind == TKIND_INTERFACE;
    const bool has_base = attributes->cImplTypes > 0;
    if (is_interface) AppendTextGetters(info.get(), *attributes, getters);
    info->ReleaseTypeAttr(attributes);
    if (!is_interface || !has_base) break;
    info = Referenced(info.get(), 0);
  }
  return getters;
}

void ReleaseTypeInfoCache() {
  std::lock_guard<std::mutex> guard(Module::Mutex());
  for (auto& entry : Cache()) entry.second->Release();
  Cache().clear();
}

}  // namespace vesk::com
