#pragma once

#include <string>
#include <string_view>

#include "engine/streams/stream.h"

namespace vesk {

// A stream over narrow text held in memory. It is used either for reading
// (made from a text) or for writing (made empty, filled, then its text taken);
// a write moves the read position to the end, so nothing written can be read
// back.
class StringStream final : public Stream {
 public:
  StringStream() = default;
  // Copies the text up to its NUL; a null pointer gives an empty stream.
  explicit StringStream(const char* text);
  explicit StringStream(std::string text) : text_(std::move(text)) {}
  explicit StringStream(std::string_view text) : text_(text) {}

  bool ReadLine(std::string& text) override;
  bool ReadChar(char& byte) override;
  // Appends the run; true when the text is not empty afterwards.
  bool Write(const char* bytes, size_t length) override;
  // The text itself; the read position moves to its end, as for Write.
  std::string* AppendBuffer() override {
    position_ = text_.size();
    return &text_;
  }

  // The text; its owner reads it when writing is finished.
  const std::string& text() const { return text_; }
  std::string TakeText() {
    position_ = 0;
    return std::move(text_);
  }
  size_t position() const { return position_; }

  // The bytes not read yet, and a way to mark some of them read: for readers
  // that scan the text in place instead of line by line.
  std::string_view unread() const {
    return position_ < text_.size() ? std::string_view(text_).substr(position_) : std::string_view();
  }
  void Skip(size_t count) { position_ = count < text_.size() - position_ ? position_ + count : text_.size(); }

 private:
  std::string text_;
  size_t position_ = 0;  // index of the next byte to read
};

}  // namespace vesk
