#pragma once

// Streams and files used by the engine tests.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/platform/files.h"
#include "engine/streams/stream.h"

namespace vesk::testing {

// A stream over fixed bytes that uses only the shared ReadLine of Stream, so
// that the scanning ReadLines of the real kinds can be compared with it.
class ByteByByteStream final : public Stream {
 public:
  explicit ByteByByteStream(std::string bytes) : bytes_(std::move(bytes)) {}
  bool ReadChar(char& byte) override {
    if (next_ >= bytes_.size()) return false;
    byte = bytes_[next_++];
    return true;
  }
  bool Write(const char* bytes, size_t length) override {
    written_.append(bytes, length);
    return true;
  }
  const std::string& written() const { return written_; }

 private:
  std::string bytes_;
  size_t next_ = 0;
  std::string written_;
};

// A stream that receives its input in chunks of a fixed size, as a socket or a
// pipe would deliver it, and whose ReadLine scans chunk by chunk. Writes are
// recorded one run at a time.
class ChunkedStream final : public Stream {
 public:
  ChunkedStream(std::string bytes, size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}

  bool ReadLine(std::string& text) override {
    text.clear();
    for (;;) {
      if (pos_ == end_ && !Refill()) return false;
      const size_t lf = bytes_.find('\n', pos_);
      const size_t stop = (lf == std::string::npos || lf >= end_) ? end_ : lf;
      AppendWithoutCarriageReturns(text, bytes_.data() + pos_, bytes_.data() + stop);
      pos_ = stop;
      if (stop < end_) {
        ++pos_;
        return true;
      }
    }
  }
  bool ReadChar(char& byte) override {
    if (pos_ == end_ && !Refill()) return false;
    byte = bytes_[pos_++];
    return true;
  }
  bool Write(const char* bytes, size_t length) override {
    writes_.emplace_back(bytes, length);
    return true;
  }

  std::string written() const {
    std::string all;
    for (const std::string& run : writes_) all += run;
    return all;
  }

 private:
  bool Refill() {
    if (end_ >= bytes_.size()) return false;
    end_ = std::min(bytes_.size(), end_ + chunk_);
    return true;
  }

  std::string bytes_;
  size_t chunk_;
  size_t pos_ = 0;
  size_t end_ = 0;
  std::vector<std::string> writes_;
};

// A file in the temporary directory, deleted when the holder goes.
class TempFile {
 public:
  TempFile() { files::MakeTempFile("vsk", &path_); }
  ~TempFile() {
    if (!path_.empty()) files::Remove(path_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

  void WriteAll(const std::string& bytes) const {
    const files::FileHandle file = files::CreateForWrite(path_);
    files::Write(file, bytes.data(), bytes.size());
    files::Close(file);
  }
  std::string ReadAll() const {
    std::string bytes;
    const files::FileHandle file = files::OpenForRead(path_);
    char buffer[4096];
    size_t got = 0;
    while (files::Read(file, buffer, sizeof buffer, &got) && got > 0) bytes.append(buffer, got);
    files::Close(file);
    return bytes;
  }

 private:
  std::string path_;
};

}  // namespace vesk::testing
