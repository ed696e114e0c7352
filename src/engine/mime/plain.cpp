// The plain transfer encodings (7bit, 8bit, binary and anything unknown):
// content lines as they are, LF inside, CR LF on the wire.
//
// Encoding cuts the content at each LF and writes every piece followed by
// CR LF. A CR directly before the LF (or at the very end of the content)
// belongs to that line end, so content that already has CR LF line ends is
// not written with CR CR LF. Any other CR is an ordinary byte.

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

// Calls emit(piece) for each line of the content, without its line end.
template <class Emit>
void ForEachContentLine(const uint8_t* data, size_t size, Emit&& emit) {
  const char* next = reinterpret_cast<const char*>(data);
  const char* const end = next + size;
  while (next < end) {
    const void* found = std::memchr(next, '\n', static_cast<size_t>(end - next));
    const char* line_end = found ? static_cast<const char*>(found) : end;
    const char* piece_end = line_end;
    if (piece_end > next && piece_end[-1] == '\r') --piece_end;
    emit(std::string_view(next, static_cast<size_t>(piece_end - next)));
    next = found ? line_end + 1 : end;
  }
}

}  // namespace

bool PlainCodec::Decode(Stream& source, ByteBuffer& target) {
  target.Clear();
  std::string line;
  bool ended_by_lf;
  while (ReadAnyLine(source, line, ended_by_lf)) {
    if (ended_by_lf) line += '\n';
    target.Append(line);
  }
  return true;
}

bool PlainCodec::Encode(Stream& target, const ByteBuffer& source) {
  if (std::string* out = target.AppendBuffer()) {
    EncodePlain(source.data(), source.size(), *out);
    return true;
  }
  // Lines are gathered into runs of about 60 KiB before they are written.
  constexpr size_t kRun = 60 * 1024;
  std::string run;
  run.reserve(std::min(source.size() + source.size() / 16 + 2, kRun + 1024));
  ForEachContentLine(source.data(), source.size(), [&](std::string_view piece) {
    run.append(piece);
    run += "\r\n";
    if (run.size() >= kRun) {
      target.Write(run.data(), run.size());
      run.clear();
    }
  });
  if (!run.empty()) target.Write(run.data(), run.size());
  return true;
}

void EncodePlain(const uint8_t* data, size_t size, std::string& out) {
  out.reserve(out.size() + size + size / 16 + 2);
  ForEachContentLine(data, size, [&](std::string_view piece) {
    out.append(piece);
    out += "\r\n";
  });
}

void DecodePlain(std::string_view text, ByteBuffer& target) {
  target.Clear();
  // CRs are dropped wherever they stand; a last line without LF is content
  // as it stands.
  if (text.empty()) return;
  const char* in = text.data();
  const char* const end = in + text.size();
  uint8_t* out = target.PrepareAppend(text.size());
  uint8_t* const start = out;
  while (in < end) {
    const void* found = std::memchr(in, '\r', static_cast<size_t>(end - in));
    const char* stop = found ? static_cast<const char*>(found) : end;
    std::memcpy(out, in, static_cast<size_t>(stop - in));
    out += stop - in;
    in = found ? stop + 1 : end;
  }
  target.CommitAppend(static_cast<size_t>(out - start));
}

}  // namespace vesk
