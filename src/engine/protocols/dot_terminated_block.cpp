#include "engine/protocols/dot_terminated_block.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/common/ascii.h"

namespace vesk {
namespace {

// Whether a period after `before` begins a line, or may be taken to.
bool BeginsLine(char before) { return before == '\r' || before == '\n'; }

}  // namespace

DotStuffingStream::DotStuffingStream(Sender send) : send_(std::move(send)) { piece_.reserve(kPieceSize + 1); }

bool DotStuffingStream::Write(const char* bytes, size_t length) {
  if (failed_) return false;
  if (length == 0) return true;
  const char* const end = bytes + length;
  for (const char* run = bytes; run < end;) {
    // A run ends after a period, or where the piece is full.
    const std::size_t room = std::min(static_cast<std::size_t>(end - run), kPieceSize - piece_.size());
    const char* period = static_cast<const char*>(std::memchr(run, '.', room));
    const char* const stop = period ? period + 1 : run + room;
    piece_.append(run, stop);
    if (period) {
      const char before = period == bytes ? last_ : period[-1];
      if (BeginsLine(before)) piece_ += '.';
    }
    run = stop;
    if (piece_.size() >= kPieceSize && !Flush()) return false;
  }
  line_ended_ = end[-1] == '\n' && (length > 1 ? end[-2] : last_) == '\r';
  last_ = end[-1];
  return true;
}

bool DotStuffingStream::EndLastLine(bool with_end_line) {
  if (failed_) return false;
  if (!line_ended_) piece_ += "\r\n";
  last_ = '\n', line_ended_ = true;
  if (with_end_line) piece_ += kEndLine;
  return Flush();
}

bool DotStuffingStream::Flush() {
  if (piece_.empty()) return true;
  failed_ = !send_(piece_);
  piece_.clear();
  return !failed_;
}

std::uint64_t DotStuffingStream::MessageSize(std::string_view message) {
  return message.size() + (message.empty() || message.ends_with("\r\n") ? 0 : 2);
}

std::uint64_t DotStuffingStream::BlockSize(std::string_view message) {
  std::uint64_t size = MessageSize(message) + kEndLine.size();
  for (std::size_t at = message.find('.'); at != std::string_view::npos; at = message.find('.', at + 1)) {
    if (at == 0 || BeginsLine(message[at - 1])) ++size;
  }
  return size;
}

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
