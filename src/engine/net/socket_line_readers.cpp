// The four readers over a SocketConnection's receive buffer: a reply line cut
// to a fixed buffer (ReadLineRaw, and ReadResponseLine that throws the rest of
// a long line away), one whole line of any length (ReadLine) and an exact
// count of bytes (ReadBytes). Each takes exactly what it returns; the bytes
// after it stay for the next read.

#include "engine/net/socket_connection.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/common/ascii.h"

namespace vesk {

int SocketConnection::ReadLineRaw(char* buffer, std::size_t size, int timeout_ms, bool& complete) {
  complete = false;
  if (!connected_) return RefuseWithoutSocket(), -1;
  if (buffer == nullptr || size == 0) return FailWithMinusOne(sockets::kErrFault);
  const std::size_t room = std::min<std::size_t>(size - 1, INT_MAX);
  std::size_t stored = 0;
  InactivityClock clock(timeout_ms);
  while (stored < room) {
    if (Buffered() == 0 && !ReceiveMore(clock)) return -1;
    clock.NoteBytes();
    const std::size_t take = std::min(Buffered(), room - stored);
    const char* from = BufferedData();
    const char* lf = static_cast<const char*>(std::memchr(from, '\n', take));
    const std::size_t count = lf ? static_cast<std::size_t>(lf - from) + 1 : take;
    std::memcpy(buffer + stored, from, count);
    Consume(count);
    stored += count;
    if (lf) {
      // Only a CR stored in this buffer is removed: an LF at the buffer's
      // first byte has nothing before it.
      stored = WithoutLineEnd(buffer, stored);
      buffer[stored] = '\0';
      complete = true;
      return static_cast<int>(stored);
    }
  }
  buffer[stored] = '\0';
  return static_cast<int>(stored);
}

int SocketConnection::ReadResponseLine(char* buffer, std::size_t size, int timeout_ms) {
  bool complete = false;
  int length = ReadLineRaw(buffer, size, timeout_ms, complete);
  if (length < 0) return -1;
  char scratch[kScratchSize];
  while (!complete) {
    if (ReadLineRaw(scratch, sizeof scratch, timeout_ms, complete) < 0) return -1;
  }
  return length;
}

bool SocketConnection::ReadLine(std::string& line, int timeout_ms) {
  line.clear();
  if (!connected_) return RefuseWithoutSocket();
  InactivityClock clock(timeout_ms);
  for (;;) {
    if (Buffered() > 0) {
      clock.NoteBytes();
      const char* from = BufferedData();
      const char* lf = static_cast<const char*>(std::memchr(from, '\n', Buffered()));
      if (lf) {
        const std::size_t length = static_cast<std::size_t>(lf - from);
        line.append(from, length);
        Consume(length + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      // The CR of a CR LF cut apart by the stream is removed with its LF.
      line.append(from, Buffered());
      Consume(Buffered());
    }
    if (!ReceiveMore(clock)) return false;
  }
}

bool SocketConnection::ReadBytes(std::string& bytes, std::size_t count, int timeout_ms) {
  if (!connected_) return RefuseWithoutSocket();
  InactivityClock clock(timeout_ms);
  while (count > 0) {
    if (Buffered() == 0 && !ReceiveMore(clock)) return false;
    clock.NoteBytes();
    const std::size_t take = std::min(Buffered(), count);
    bytes.append(BufferedData(), take);
    Consume(take);
    count -= take;
  }
  return true;
}

}  // namespace vesk
