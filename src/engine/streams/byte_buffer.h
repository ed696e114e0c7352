#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/platform/files.h"

namespace vesk {

// The bytes of a leaf part's decoded content. Appending grows the block
// geometrically, so filling a buffer line by line costs amortised constant time
// per byte. Conversions to and from automation strings live in the automation
// layer; it works on data()/size() and Assign().
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer& other) { Assign(other.data(), other.size()); }
  ByteBuffer& operator=(const ByteBuffer& other);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer() = default;

  // Releases the block; the length becomes 0.
  void Clear();
  // The content becomes a copy of the n bytes.
  void Assign(const void* bytes, size_t n);
  // Adds the n bytes after the current content.
  void Append(const void* bytes, size_t n);
  void Append(std::string_view text) { Append(text.data(), text.size()); }

  // For producers that write in place: room for at least n more bytes, then
  // CommitAppend with the number actually written.
  uint8_t* PrepareAppend(size_t n);
  void CommitAppend(size_t n) {
    DropEncodedForm();
    size_ += n;
  }
  // For producers that replace the whole content: empties the buffer and
  // gives room for at least n bytes, keeping the current block when it fits n
  // without wasting much (so a buffer filled again and again is not
  // reallocated each time). Follow with CommitAppend.
  uint8_t* PrepareReplace(size_t n);

  // The text the content was decoded from, kept by a reader so that a writer
  // can give back what was read instead of encoding the content again.
  // `form` is the keeper's name for the encoding. Every change of the content
  // drops it; a copy of the buffer does not take it, a move does.
  void KeepEncodedForm(int form, std::string_view text);
  // That text while the content is unchanged and it was kept for `form`;
  // nothing otherwise.
  std::optional<std::string_view> EncodedForm(int form) const {
    if (!encoded_ || encoded_form_ != form) return std::nullopt;
    return std::string_view(encoded_.get(), encoded_size_);
  }

  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const {
    return size_ ? std::string_view(reinterpret_cast<const char*>(bytes_.get()), size_) : std::string_view();
  }

  // The content becomes the whole file: the file position is moved to its
  // start and every byte is read. False (content unchanged) when the size
  // cannot be learnt, memory runs out or a read fails.
  bool LoadFromHandle(files::FileHandle file);
  // Writes the content at the file position. False when the write fails.
  bool SaveToHandle(files::FileHandle file) const;

  // Opens the named file (narrow text), loads it and closes it. False, with
  // the content unchanged, when the file cannot be opened or read.
  bool LoadFromFile(const std::string& path);
  // Makes the content the whole of the named file, created or replaced whole
  // or not at all (files::WriteWholeFile). False when it cannot be written.
  bool SaveToFile(const std::string& path) const;

 private:
  void Reserve(size_t capacity);
  void DropEncodedForm() {
    if (encoded_) {
      encoded_.reset();
      encoded_size_ = 0;
    }
  }

  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  std::unique_ptr<char[]> encoded_;
  size_t encoded_size_ = 0;
  int encoded_form_ = 0;
};

}  // namespace vesk
