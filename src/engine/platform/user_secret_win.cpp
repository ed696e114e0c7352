#include "engine/platform/user_secret.h"
#include "engine/platform/windows_support.h"

#include <wincrypt.h>

namespace vesk::user_secret {
namespace {

std::string Describe(DWORD code) { return "data protection error " + std::to_string(code); }

DATA_BLOB Blob(std::string_view bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

// Hands over a blob the system allocated, wiping it before it goes.
void Take(DATA_BLOB& blob, std::string& out) {
  out.assign(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
  SecureZeroMemory(blob.pbData, blob.cbData);
  LocalFree(blob.pbData);
}

}  // namespace

bool Seal(std::string_view clear, std::string& sealed, std::string& error) {
  DATA_BLOB in = Blob(clear), out{};
  if (!CryptProtectData(&in, L"VeskMail OAuth 2 tokens", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    error = Describe(GetLastError());
    return false;
  }
  Take(out, sealed);
  return true;
}

bool Open(std::string_view sealed, std::string& clear, std::string& error) {
  DATA_BLOB in = Blob(sealed), out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    error = "the data was not sealed for this user or is damaged (" + Describe(GetLastError()) + ")";
    return false;
  }
  Take(out, clear);
  return true;
}

}  // namespace vesk::user_secret
