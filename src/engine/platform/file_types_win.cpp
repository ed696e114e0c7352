#include "engine/platform/file_types.h"
#include "engine/platform/windows_support.h"

namespace vesk {

namespace {

bool RegisteredContentType(std::string_view extension, std::string& content_type) {
  if (extension.empty() || extension.size() > 255) return false;
  wchar_t name[256];
  const int length = MultiByteToWideChar(CP_UTF8, 0, extension.data(), static_cast<int>(extension.size()), name, 255);
  if (length <= 0) return false;
  name[length] = L'\0';
  // Read access is all this needs; a restricted account (a web server's
  // usual identity) has no more than that on HKEY_CLASSES_ROOT.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  wchar_t value[256];
  DWORD size = sizeof value;
  DWORD type = 0;
  const LONG status = RegQueryValueExW(key, L"Content Type", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(wchar_t)) return false;
  const size_t units = wcsnlen(value, size / sizeof(wchar_t));
  // A media type is ASCII (RFC 2045 section 5.1); anything else is no type.
  content_type.clear();
  for (size_t i = 0; i < units; ++i) {
    if (value[i] >= 0x80) return false;
    content_type += static_cast<char>(value[i]);
  }
  return !content_type.empty();
}

}  // namespace

bool ContentTypeForExtension(std::string_view extension, std::string& content_type) {
  return RegisteredContentType(extension, content_type) || WellKnownContentType(extension, content_type);
}

}  // namespace vesk
