#pragma once

// Helpers shared by the fuzz targets.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/streams/stream.h"

namespace vesk::fuzz {

// A stream that only has the shared, byte-by-byte ReadLine of Stream, to
// compare the scanning ReadLines with.
class ByteByByteStream final : public Stream {
 public:
  explicit ByteByByteStream(std::string_view bytes) : bytes_(bytes) {}
  bool ReadChar(char& byte) override {
    if (next_ >= bytes_.size()) return false;
    byte = bytes_[next_++];
    return true;
  }
  bool Write(const char*, size_t) override { return true; }

 private:
  std::string_view bytes_;
  size_t next_ = 0;
};

// Stops the run with a message when a property does not hold.
inline void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace vesk::fuzz
