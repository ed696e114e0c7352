// registry_values.exe DLL OUTPUT
// Writes every registry value that registering DLL writes (the list the DLL's
// own registration uses, see RegistryValuesFor), one per line, UTF-8:
//   KIND <tab> KEY <tab> NAME <tab> DATA
// KIND is "text" (DATA as it is), "path" (the DLL's full path), "folder" (the
// folder the DLL lies in, with a final backslash) or "key" (the key alone,
// no value). KEY is relative to the classes root; NAME is empty for the
// default value. tools/installer/make_wxs.py turns the list into the
// installer packages' registry table. Run under Wine; the DLL may be of
// either architecture (only its type library is read).
#include <cstdio>
#include <string>
#include <vector>

#include "automation/frame/registration.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
  return result;
}

const char* KindName(vesk::com::RegistryValue::Kind kind) {
  using Kind = vesk::com::RegistryValue::Kind;
  switch (kind) {
    case Kind::kModulePath: return "path";
    case Kind::kModuleFolder: return "folder";
    case Kind::kKeyOnly: return "key";
    case Kind::kText: break;
  }
  return "text";
}

// A tab or a line break would break the line apart.
bool FitsOnLine(const std::wstring& text) { return text.find_first_of(L"\t\r\n") == std::wstring::npos; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: registry_values DLL OUTPUT\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::vector<vesk::com::RegistryValue> values;
  const HRESULT hr = vesk::com::RegistryValuesFor(argv[1], values);
  if (FAILED(hr)) {
    fwprintf(stderr, L"the type library of %ls could not be read (0x%08lX)\n", argv[1], static_cast<unsigned long>(hr));
    return 1;
  }
  std::string text;
  for (const auto& value : values) {
    if (!FitsOnLine(value.key) || !FitsOnLine(value.name) || !FitsOnLine(value.data)) {
      fwprintf(stderr, L"a value under %ls holds a tab or a line break\n", value.key.c_str());
      return 1;
    }
    text += std::string(KindName(value.kind)) + "\t" + Utf8(value.key) + "\t" + Utf8(value.name) + "\t" +
            Utf8(value.data) + "\n";
  }
  FILE* file = _wfopen(argv[2], L"wb");
  if (!file || fwrite(text.data(), 1, text.size(), file) != text.size() || fclose(file) != 0) {
    fwprintf(stderr, L"%ls could not be written\n", argv[2]);
    return 1;
  }
  CoUninitialize();
  return 0;
}
