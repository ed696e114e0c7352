#pragma once

// The dot-terminated block of SMTP and POP3 (RFC 5321 section 4.5.2, RFC 1939
// section 3): lines ended by a line holding a single period, with a period
// doubled where a line begins with one. Written by the stuffing stream,
// read back by ReadDotTerminated.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/net/socket_connection.h"
#include "engine/streams/stream.h"

namespace vesk {

// A write-only stream that passes what is written to `send` with every
// period that begins a line doubled, a piece at a time (up to kPieceSize
// bytes, so that a message is never copied whole). A period after a CR or an
// LF alone is doubled too: such bytes may stand in content that is kept as it
// is, and a receiver that takes a bare line end for a line end would
// otherwise read CR . CR LF as the end of the data and what follows as
// commands of its own.
class DotStuffingStream final : public Stream {
 public:
  using Sender = std::function<bool(std::string_view piece)>;
  static constexpr std::size_t kPieceSize = 64 * 1024;
  static constexpr std::string_view kEndLine = ".\r\n";

  explicit DotStuffingStream(Sender send);

  bool ReadChar(char&) override { return false; }
  // False once `send` has failed; nothing is passed on after that.
  bool Write(const char* bytes, size_t length) override;

  // Passes on what is held, after a CR LF when the last line written has
  // none, and then the end line when `with_end_line`. What this sends before
  // the end line is what a receiver counts as the message.
  bool EndLastLine(bool with_end_line);

  // How many bytes the block of `message` has, end line included.
  static std::uint64_t BlockSize(std::string_view message);
  // The size of `message` as a receiver counts it: its bytes and the CR LF a
  // last line without one is given (RFC 1870 section 3).
  static std::uint64_t MessageSize(std::string_view message);

 private:
  bool Flush();

  Sender send_;
  std::string piece_;
  char last_ = '\n';  // the last byte written; a line begins at the start
  // Whether what was written so far ends in CR LF (or nothing was written).
  bool line_ended_ = true;
  bool failed_ = false;
};

// Reads the lines of a block ended by a line holding a single period: a
// doubled leading period is undone, lines are joined with LF, and the ending
// line is not added. False on a read failure; the text then keeps the lines
// gathered so far.
bool ReadDotTerminated(SocketConnection& connection, std::string& text, int timeout_ms);

}  // namespace vesk
