#include "automation/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace vesk::test {

std::wstring DllPath() {
  wchar_t path[MAX_PATH];
  const std::wstring result(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
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

std::string Narrow(const std::wstring& text) {
  Bstr b(text.c_str());
  return com::ToNarrow(b.get());
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

std::string ReadAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
  std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
}

HRESULT GetByDispatch(IDispatch* object, DISPID id, VARIANT* result) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result, nullptr, nullptr);
}

}  // namespace vesk::test

namespace {

// After every test the DLL must be unloadable: every object a test made has
// been released. Tests that leave objects alive are listed and fail the run.
class LeakWatch : public testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const testing::TestInfo& test) override {
    if (vesk::test::CanUnloadNow() == S_OK) return;
    leaks_ = true;
    std::printf("[  LEAK    ] %s.%s left objects alive\n", test.test_suite_name(), test.name());
  }
  bool leaks_ = false;
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
  const bool leaks = watch->leaks_;
  CoUninitialize();
  return result != 0 || leaks ? 1 : 0;
}
