#pragma once

#include <memory>
#include <string>

#include "engine/platform/files.h"
#include "engine/streams/stream.h"

namespace vesk {

// A stream over a file that somebody else opened and will close after the
// stream is gone. Reads go through a buffer of the stream's own and writes are
// gathered in one, so a file is never read or written one system call per
// byte. The destructor hands back what it read ahead (the file position is left
// just after the last byte delivered) and writes out what it gathered.
class FileStream final : public Stream {
 public:
  static constexpr size_t kDefaultBufferSize = 64 * 1024;

  // `buffer_size` is the most read or gathered at once (at least 1).
  explicit FileStream(files::FileHandle file, size_t buffer_size = kDefaultBufferSize)
      : file_(file), buffer_size_(buffer_size ? buffer_size : 1) {}
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  bool ReadLine(std::string& text) override;
  // One byte; false at the end of the file or when the read fails.
  bool ReadChar(char& byte) override;
  // Gathers the run; false when writing out gathered bytes failed.
  bool Write(const char* bytes, size_t length) override;

  // Writes out the gathered bytes; false when the platform call failed.
  bool Flush();

 private:
  // Refills the read buffer; false at the end of the file or on failure.
  bool Refill();
  // Gives the bytes read ahead back to the file.
  void DropReadAhead();

  files::FileHandle file_;
  size_t buffer_size_;
  std::unique_ptr<char[]> read_buffer_;
  size_t read_pos_ = 0;
  size_t read_end_ = 0;
  std::string write_buffer_;
};

}  // namespace vesk
