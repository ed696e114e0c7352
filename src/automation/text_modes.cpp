#include "automation/text_modes.h"

#include "automation/frame/strings.h"

namespace vesk::com {
namespace {

const TextMode& AnsiTextMode() {
  static const TextMode mode = TextMode::Narrow(CharsetOfCodePage(GetACP()), AnsiToUtf8, Utf8ToAnsi);
  return mode;
}

}  // namespace

const TextMode& TextModeOfCodePage(UINT code_page) {
  if (code_page != CP_UTF8) return AnsiTextMode();
  static const TextMode unicode = AnsiTextMode().Utf8Text();
  return unicode;
}

}  // namespace vesk::com
