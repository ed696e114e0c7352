#include "engine/platform/file_types.h"
#include "engine/platform/windows_support.h"

namespace vesk {

bool ContentTypeForExtension(std::string_view extension, std::string& content_type) {
  // Read access is all this needs; a restricted account (a web server's
  // usual identity) has no more than that on HKEY_CLASSES_ROOT.
  HKEY key = nullptr;
  const std::string name(extension);
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char value[256];
  DWORD size = sizeof value;
  DWORD type = 0;
  const LONG status = RegQueryValueExA(key, "Content Type", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return false;
  content_type.assign(value, strnlen(value, size));
  return true;
}

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

}  // namespace vesk
