#include "engine/streams/stream.h"

#include <cstring>

namespace vesk {

bool Stream::ReadLine(std::string& text) {
  text.clear();
  // Bytes are gathered in pieces of up to 128 before they go into the text,
  // so that a long line costs few appends.
  constexpr size_t kPiece = 128;
  char piece[kPiece];
  for (;;) {
    size_t stored = 0;
    char byte;
    bool ended = false;
    bool line_done = false;
    while (stored < kPiece) {
      if (!ReadChar(byte)) {
        ended = true;
        break;
      }
      if (byte == '\n') {
        line_done = true;
        break;
      }
      if (byte != '\r') piece[stored++] = byte;
    }
    text.append(piece, stored);
    if (ended) return false;
    if (line_done) return true;
  }
}

bool ReadAnyLine(Stream& stream, std::string& text, bool& ended_by_lf) {
  ended_by_lf = stream.ReadLine(text);
  return ended_by_lf || !text.empty();
}

bool WriteText(Stream& stream, const char* text, std::ptrdiff_t length) {
  const size_t count = length == -1 ? std::strlen(text) : static_cast<size_t>(length);
  stream.Write(text, count);
  return true;
}

bool WriteText(Stream& stream, std::string_view text) {
  stream.Write(text.data(), text.size());
  return true;
}

bool WriteLineEnd(Stream& stream) { return WriteText(stream, "\r\n", 2); }

void AppendWithoutCarriageReturns(std::string& text, const char* begin, const char* end) {
  while (begin < end) {
    const void* cr = std::memchr(begin, '\r', static_cast<size_t>(end - begin));
    const char* stop = cr ? static_cast<const char*>(cr) : end;
    text.append(begin, static_cast<size_t>(stop - begin));
    begin = stop + (cr ? 1 : 0);
  }
}

}  // namespace vesk
