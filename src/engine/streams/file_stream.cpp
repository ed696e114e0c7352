#include "engine/streams/file_stream.h"

#include <cstring>

namespace vesk {

FileStream::~FileStream() {
  Flush();
  DropReadAhead();
}

bool FileStream::Flush() {
  if (write_buffer_.empty()) return true;
  const bool written = files::Write(file_, write_buffer_.data(), write_buffer_.size());
  write_buffer_.clear();
  return written;
}

void FileStream::DropReadAhead() {
  if (read_end_ > read_pos_) {
    files::SeekBy(file_, -static_cast<int64_t>(read_end_ - read_pos_));
  }
  read_pos_ = read_end_ = 0;
}

bool FileStream::Refill() {
  if (!write_buffer_.empty() && !Flush()) return false;
  if (!read_buffer_) read_buffer_ = std::make_unique<char[]>(buffer_size_);
  read_pos_ = read_end_ = 0;
  size_t got = 0;
  if (!files::Read(file_, read_buffer_.get(), buffer_size_, &got) || got == 0) return false;
  read_end_ = got;
  return true;
}

bool FileStream::ReadChar(char& byte) {
  if (read_pos_ == read_end_ && !Refill()) return false;
  byte = read_buffer_[read_pos_++];
  return true;
}

bool FileStream::ReadLine(std::string& text) {
  text.clear();
  for (;;) {
    if (read_pos_ == read_end_ && !Refill()) return false;
    const char* begin = read_buffer_.get() + read_pos_;
    const char* end = read_buffer_.get() + read_end_;
    const void* lf = std::memchr(begin, '\n', static_cast<size_t>(end - begin));
    const char* stop = lf ? static_cast<const char*>(lf) : end;
    AppendWithoutCarriageReturns(text, begin, stop);
    read_pos_ = static_cast<size_t>(stop - read_buffer_.get());
    if (lf) {
      ++read_pos_;
      return true;
    }
  }
}

bool FileStream::Write(const char* bytes, size_t length) {
  DropReadAhead();
  if (write_buffer_.size() + length > buffer_size_ && !Flush()) return false;
  if (length >= buffer_size_) return files::Write(file_, bytes, length);
  write_buffer_.append(bytes, length);
  return true;
}

}  // namespace vesk
