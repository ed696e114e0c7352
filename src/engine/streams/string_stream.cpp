#include "engine/streams/string_stream.h"

#include <cstring>

namespace vesk {

StringStream::StringStream(const char* text) : text_(text ? text : "") {}

bool StringStream::ReadLine(std::string& text) {
  text.clear();
  if (position_ >= text_.size()) return false;
  const char* begin = text_.data() + position_;
  const char* end = text_.data() + text_.size();
  const void* lf = std::memchr(begin, '\n', static_cast<size_t>(end - begin));
  if (!lf) {
    AppendWithoutCarriageReturns(text, begin, end);
    position_ = text_.size();
    return false;
  }
  const char* stop = static_cast<const char*>(lf);
  AppendWithoutCarriageReturns(text, begin, stop);
  position_ = static_cast<size_t>(stop + 1 - text_.data());
  return true;
}

bool StringStream::ReadChar(char& byte) {
  if (position_ >= text_.size()) return false;
  byte = text_[position_++];
  return true;
}

bool StringStream::Write(const char* bytes, size_t length) {
  text_.append(bytes, length);
  position_ = text_.size();
  return !text_.empty();
}

}  // namespace vesk
