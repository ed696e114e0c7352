#include "engine/platform/browser.h"
#include "engine/platform/windows_support.h"

#include <shellapi.h>

namespace vesk::browser {

bool Open(const std::string& url, std::string& error) {
  // The address is ASCII: every part of it was percent-encoded.
  const std::wstring wide(url.begin(), url.end());
  const auto result =
      reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) {
    error = "the system could not open the address (ShellExecute " + std::to_string(result) + ")";
    return false;
  }
  return true;
}

}  // namespace vesk::browser
