#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

// The byte stream the MIME engine reads and writes: header blocks, codecs,
// rendering and parsing all work on a Stream without knowing its kind.
//
// A stream is owned by the operation that makes it and is never destroyed
// through this interface.
class Stream {
 public:
  // Reads one line into `text` (emptied first). LF ends the line and is not
  // stored; every CR is dropped, wherever it stands. Returns false when the
  // stream ended (or failed) during this call; the bytes read before the end
  // are in `text` all the same, so a last line without LF arrives together
  // with false. The shared implementation below reads byte by byte through
  // ReadChar; kinds that can scan a buffer replace it with a faster one that
  // gives exactly the same results.
  virtual bool ReadLine(std::string& text);

  // One byte; false at the end of the stream or on failure.
  virtual bool ReadChar(char& byte) = 0;

  // Writes a run of bytes; what the result means is the kind's to say.
  virtual bool Write(const char* bytes, size_t length) = 0;

  // For a writer that makes many small pieces: the string the stream's
  // written text ends in, to be appended to directly (what is appended counts
  // as written), or null when the kind has none. Saves a copy per piece.
  virtual std::string* AppendBuffer() { return nullptr; }

 protected:
  Stream() = default;
  Stream(const Stream&) = default;
  Stream& operator=(const Stream&) = default;
  virtual ~Stream() = default;
};

// Reads one line as Stream::ReadLine does, counting a last line without LF
// as a line too: true when a line was read, with `ended_by_lf` telling
// whether an LF ended it; false once nothing is left.
bool ReadAnyLine(Stream& stream, std::string& text, bool& ended_by_lf);

// Writes `length` bytes of `text`, or up to its NUL when length is -1. Always
// true: the result of Write is not passed on.
bool WriteText(Stream& stream, const char* text, std::ptrdiff_t length = -1);
bool WriteText(Stream& stream, std::string_view text);

// Writes CR LF. Always true.
bool WriteLineEnd(Stream& stream);

// Appends the bytes [begin, end) to `text` without their CRs: the common step
// of every ReadLine that scans a buffer.
void AppendWithoutCarriageReturns(std::string& text, const char* begin, const char* end);

}  // namespace vesk
