#include "automation/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace vesk::test {

std::wstring DllPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1) + L"veskmail.dll";
}

HMODULE Dll() {
  static HMODULE module = LoadLibraryW(DllPath().c_str());
  return module;
}

ErrorInfoText TakeErrorInfo() {
  ErrorInfoText text;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return text;
  text.present = true;
  Bstr source, description;
  info->GetSource(source.put());
  info->GetDescription(description.put());
  if (source.get()) text.source.assign(source.get(), source.length());
  if (description.get()) text.description.assign(description.get(), description.length());
  return text;
}

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT arg_count,
                     VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS params{args, nullptr, arg_count, 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception{};
  UINT arg_error = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &arg_error);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

std::string Narrow(const std::wstring& text) {
  Bstr b(text.c_str());
  return com::ToNarrow(b.get());
}

}  // namespace vesk::test

namespace {

// After every test the DLL must be unloadable: every object a test made has
// been released. Tests that leave objects alive are listed and fail the run.
class LeakWatch : public testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const testing::TestInfo& test) override {
    using CanUnloadFunction = HRESULT(WINAPI*)();
    auto can_unload = vesk::test::DllExport<CanUnloadFunction>("DllCanUnloadNow");
    if (can_unload && can_unload() != S_OK) {
      leaks_.push_back(std::string(test.test_suite_name()) + "." + test.name());
      std::printf("[  LEAK    ] %s left objects alive\n", leaks_.back().c_str());
    }
  }
  bool clean() const { return leaks_.empty(); }

 private:
  std::vector<std::string> leaks_;
};

}  // namespace

// COM is initialised once for the whole run, in a single-threaded apartment
// as script hosts do.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  CoInitialize(nullptr);
  auto* watch = new LeakWatch;
  testing::UnitTest::GetInstance()->listeners().Append(watch);
  const int result = RUN_ALL_TESTS();
  const bool clean = watch->clean();
  CoUninitialize();
  return result != 0 || !clean ? 1 : 0;
}
