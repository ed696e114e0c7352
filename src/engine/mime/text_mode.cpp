#include "engine/mime/text_mode.h"

namespace vesk {

TextMode TextMode::Narrow(std::string_view charset, NarrowToUtf8 to_utf8, Utf8ToNarrow from_utf8) {
  TextMode mode;
  mode.narrow_is_utf8_ = false;
  mode.to_utf8_ = to_utf8;
  mode.from_utf8_ = from_utf8;
  mode.narrow_charset_.assign(charset);
  if (charset != "utf-8") mode.raw_text_charset_.assign(charset);
  return mode;
}

TextMode TextMode::Utf8Text() const {
  TextMode mode;
  mode.raw_text_charset_ = raw_text_charset_;
  return mode;
}

std::string TextMode::ToUtf8(std::string_view narrow) const {
  return narrow_is_utf8_ || !to_utf8_ ? std::string(narrow) : to_utf8_(narrow);
}

bool TextMode::FromUtf8(std::string_view utf8, std::string& narrow) const {
  if (narrow_is_utf8_ || !from_utf8_) {
    narrow.assign(utf8);
    return true;
  }
  return from_utf8_(utf8, narrow);
}

const TextMode& DefaultTextMode() {
  static const TextMode mode;
  return mode;
}

}  // namespace vesk
