#include "engine/streams/byte_buffer.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace vesk {

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) {
  if (this != &other) Assign(other.data(), other.size());
  return *this;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      encoded_(std::move(other.encoded_)),
      encoded_size_(std::exchange(other.encoded_size_, 0)),
      encoded_form_(other.encoded_form_) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  bytes_ = std::move(other.bytes_);
  size_ = std::exchange(other.size_, 0);
  capacity_ = std::exchange(other.capacity_, 0);
  encoded_ = std::move(other.encoded_);
  encoded_size_ = std::exchange(other.encoded_size_, 0);
  encoded_form_ = other.encoded_form_;
  return *this;
}

void ByteBuffer::KeepEncodedForm(int form, std::string_view text) {
  DropEncodedForm();
  if (text.empty()) return;
  encoded_.reset(new char[text.size()]);
  std::memcpy(encoded_.get(), text.data(), text.size());
  encoded_size_ = text.size();
  encoded_form_ = form;
}

void ByteBuffer::Clear() {
  DropEncodedForm();
  bytes_.reset();
  size_ = capacity_ = 0;
}

void ByteBuffer::Assign(const void* bytes, size_t n) {
  if (n == 0) {
    Clear();
    return;
  }
  std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
  std::memcpy(block.get(), bytes, n);
  DropEncodedForm();
  bytes_ = std::move(block);
  size_ = capacity_ = n;
}

void ByteBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  std::unique_ptr<uint8_t[]> block(new uint8_t[capacity]);
  if (size_) std::memcpy(block.get(), bytes_.get(), size_);
  bytes_ = std::move(block);
  capacity_ = capacity;
}

uint8_t* ByteBuffer::PrepareAppend(size_t n) {
  if (n > capacity_ - size_) {
    if (n > std::numeric_limits<size_t>::max() - size_) throw std::bad_alloc();
    const size_t needed = size_ + n;
    size_t grown = capacity_ < 64 ? 64 : capacity_ + capacity_ / 2;
    if (grown < capacity_ || grown < needed) grown = needed;
    Reserve(grown);
  }
  return bytes_.get() + size_;
}

uint8_t* ByteBuffer::PrepareReplace(size_t n) {
  DropEncodedForm();
  size_ = 0;
  const bool fits = n <= capacity_ && capacity_ - n <= n + 64 * 1024;
  if (!fits) {
    Clear();
    Reserve(n ? n : 1);
  }
  return bytes_.get();
}

void ByteBuffer::Append(const void* bytes, size_t n) {
  if (n == 0) return;
  std::memcpy(PrepareAppend(n), bytes, n);
  CommitAppend(n);
}

bool ByteBuffer::LoadFromHandle(files::FileHandle file) {
  uint64_t file_size = 0;
  if (!files::Size(file, &file_size) || !files::SeekToStart(file)) return false;
  if (file_size > std::numeric_limits<size_t>::max()) return false;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[file_size ? file_size : 1]);
  if (!block) return false;
  // The size is a hint: a file that grows or shrinks meanwhile is read up to
  // its end or up to the size learnt, whichever comes first.
  size_t total = 0;
  while (total < file_size) {
    size_t got = 0;
    if (!files::Read(file, block.get() + total, static_cast<size_t>(file_size) - total, &got)) return false;
    if (got == 0) break;
    total += got;
  }
  if (total == 0) {
    Clear();
    return true;
  }
  DropEncodedForm();
  bytes_ = std::move(block);
  size_ = total;
  capacity_ = static_cast<size_t>(file_size);
  return true;
}

bool ByteBuffer::SaveToHandle(files::FileHandle file) const {
  return size_ == 0 || files::Write(file, bytes_.get(), size_);
}

bool ByteBuffer::LoadFromFile(const std::string& path) {
  const files::FileHandle file = files::OpenForRead(path);
  if (file == files::kNoFile) return false;
  const bool loaded = LoadFromHandle(file);
  files::Close(file);
  return loaded;
}

bool ByteBuffer::SaveToFile(const std::string& path) const {
  return files::WriteWholeFile(path, bytes_.get(), size_);
}

}  // namespace vesk
