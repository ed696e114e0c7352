#include "engine/protocols/dot_terminated_block.h"

#include <cstring>
#include <string_view>

namespace vesk {
namespace {

// Removes the LF at text[length-1] and a CR just before it; the new length.
std::size_t WithoutLineEnd(const char* text, std::size_t length) {
  --length;
  if (length > 0 && text[length - 1] == '\r') --length;
  return length;
}

}  // namespace

// The block is taken from the connection's buffer a run of lines at a time.
bool ReadDotTerminated(SocketConnection& connection, std::string& text, int timeout_ms) {
  text.clear();
  if (!connection.CanRead()) return false;
  bool at_line_start = true;
  SocketConnection::InactivityClock clock(timeout_ms);
  for (;;) {
    // The complete lines in the buffer go to the text in one pass. A line
    // never grows on the way (CR LF becomes LF), so the buffered size is
    // room enough; the text is cut back to what was written afterwards.
    std::string_view unread = connection.Unread();
    const char* const first = unread.data();
    const char* const end = first + unread.size();
    const char* lf = static_cast<const char*>(std::memchr(first, '\n', unread.size()));
    if (lf) {
      const char* next = first;
      std::size_t written = text.size();
      text.resize(written + unread.size());
      char* out = text.data() + written;
      for (; lf; lf = static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)))) {
        const char* line = next;
        std::size_t length = WithoutLineEnd(line, static_cast<std::size_t>(lf - line) + 1);
        next = lf + 1;
        if (at_line_start && length > 0 && line[0] == '.') {
          if (length == 1) {
            text.resize(static_cast<std::size_t>(out - text.data()));
            connection.Consume(static_cast<std::size_t>(next - first));
            return true;
          }
          ++line;  // the server doubled a leading period
          --length;
        }
        std::memcpy(out, line, length);
        out += length;
        *out++ = '\n';
        at_line_start = true;
      }
      text.resize(static_cast<std::size_t>(out - text.data()));
      connection.Consume(static_cast<std::size_t>(next - first));
      // Each line read starts its own inactivity count.
      clock.Restart();
    }
    unread = connection.Unread();
    if (!unread.empty()) clock.NoteBytes();
    // A line longer than the buffer goes to the text in parts; a final CR is
    // kept back because the LF that ends the line may follow it.
    if (unread.size() == SocketConnection::kReceiveBufferSize) {
      const char* part = unread.data();
      std::size_t length = unread.size() - 1;
      if (part[length] != '\r') ++length;
      const std::size_t taken = length;
      if (at_line_start && part[0] == '.') {  // doubled: the line is longer than "."
        ++part;
        --length;
      }
      text.append(part, length);
      connection.Consume(taken);
      at_line_start = false;
    }
    if (!connection.ReceiveMore(clock)) return false;
  }
}

}  // namespace vesk
