#pragma once

// Streams and files used by the engine tests.

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "engine/platform/files.h"
#include "engine/streams/stream.h"

namespace vesk::testing {

// A stream over fixed bytes that receives them in chunks of a fixed size, as a
// socket or a pipe would deliver them. With `scan` its ReadLine scans chunk by
// chunk; without it only the shared ReadLine of Stream (byte by byte) is used,
// so the scanning kinds can be compared with it. Writes are recorded.
class ChunkedStream final : public Stream {
 public:
  ChunkedStream(std::string bytes, size_t chunk, bool scan = true)
      : bytes_(std::move(bytes)), chunk_(chunk), scan_(scan) {}

  bool ReadLine(std::string& text) override {
    if (!scan_) return Stream::ReadLine(text);
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
    written_.append(bytes, length);
    return true;
  }
  const std::string& written() const { return written_; }

 private:
  bool Refill() {
    if (end_ >= bytes_.size()) return false;
    end_ = std::min(bytes_.size(), end_ + chunk_);
    return true;
  }

  std::string bytes_;
  size_t chunk_;
  bool scan_;
  size_t pos_ = 0;
  size_t end_ = 0;
  std::string written_;
};

// A file in the temporary directory, deleted when the holder goes.
struct TempFile {
  TempFile() { files::MakeTempFile("vsk", &path); }
  ~TempFile() { files::Remove(path); }
  void WriteAll(const std::string& bytes) const {
    const files::FileHandle file = files::CreateForWrite(path);
    files::Write(file, bytes.data(), bytes.size());
    files::Close(file);
  }
  std::string ReadAll() const {
    std::string bytes;
    const files::FileHandle file = files::OpenForRead(path);
    char buffer[4096];
    size_t got = 0;
    while (files::Read(file, buffer, sizeof buffer, &got) && got > 0) bytes.append(buffer, got);
    files::Close(file);
    return bytes;
  }
  std::string path;
};

// A file, whole.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// A file under tests/data, whole.
inline std::string ReadDataFile(const std::string& name) {
  return ReadWholeFile(std::string(VESK_TEST_DATA_DIR) + "/" + name);
}

}  // namespace vesk::testing
