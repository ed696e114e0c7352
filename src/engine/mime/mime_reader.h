#pragma once

// Reading MIME text into the part tree (RFC 2046 section 5.1): one forward
// pass over the lines of the input. Header blocks go into field lists, whose
// live Content-Type fields choose each part's body; a leaf decodes its lines,
// a multipart splits its lines at its boundary lines, a message part reads an
// embedded message.
//
// Lines follow Stream::ReadLine: a line ends at LF and every CR is dropped;
// a last line without LF is a line all the same (ending where the text ends,
// so a leaf's content gets no LF that the text did not have). Input with
// LF-only line ends therefore reads exactly like CR LF input.
//
// Boundary lines. Each open multipart body is one level. A line belongs to
// the innermost level unless, with its CRs dropped, it begins with the
// delimiter ("--" and the boundary) of an open level; the outermost such level
// ends there (closing it for good when "--" follows the delimiter), and every
// level inside it ends with it. An empty line right before a boundary line is
// the line end that belongs to the boundary and is dropped with it. When an
// empty line has been delivered, the line after it has been looked at already
// and is held for the level that read it; if that level is reset before it
// asks again (a child multipart without a boundary stopped early), the held
// line is lost.
//
// Limits, so that no input can exhaust the stack or memory:
// - kMaxNestingDepth: the top part is at depth 1; each multipart child and
//   each embedded message's root is one deeper. A part deeper than the limit
//   is read as leaf content (its lines decoded by its own transfer encoding),
//   whatever its type.
// - kMaxPartsPerMessage: parts made while reading one text, the top part and
//   embedded roots included. The child that reaches the limit is read as leaf
//   content that runs on to its parent's closing boundary line: the parent's
//   further boundary lines stay in it instead of starting new parts. Each
//   enclosing level makes at most one more such part after it, so nothing is
//   dropped and the count stays below the limit plus the depth limit.
//
// Speed (1): the input is one block of memory (the text of a StringStream as
// it stands, anything else read once line by line), and lines are views into
// it; nothing is copied per line except header lines (see MimeReader()).
// Speed (2): a leaf's lines (and a preamble's, and an epilogue's) are found in
// one scan from dash to dash, since a boundary line begins with "-" once its
// CRs are dropped; only a dash at the start of a line leads to a closer look.
// The run of lines is then decoded in one call of the whole-run decoders.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/streams/stream.h"

namespace vesk {

class MessageEntity;
class MimePart;
class PartList;
class StringStream;

// Reads a part from MIME text: a header block whose fields are appended to
// its own list (a part that shares its message's list reads none), then its
// body. False when the part is a multipart without a boundary parameter.
bool ReadPart(Stream& stream, MimePart& part);
// Resets the message, then reads its header block and its root part's body.
void ReadMessage(Stream& stream, MessageEntity& message);

inline constexpr int kMaxNestingDepth = 100;
inline constexpr size_t kMaxPartsPerMessage = 10000;
// The most encoded text a leaf keeps for writing back (see ReadLeafContent).
inline constexpr size_t kMaxKeptEncodedText = 64 * 1024;

class MimeReader {
 public:
  // Takes the unread text of `stream`. A StringStream is read in place and
  // its position moves on as far as the reading went; any other stream is
  // read to its end at once.
  explicit MimeReader(Stream& stream);
  ~MimeReader();
  MimeReader(const MimeReader&) = delete;
  MimeReader& operator=(const MimeReader&) = delete;

  // A part at the top of the input: its header block (unless the list is
  // shared), then its body.
  bool ReadTopPart(MimePart& part);
  // A whole message at the top of the input.
  void ReadTopMessage(MessageEntity& message);

  // The body reads, by the kind of the part's body.
  bool ReadLeafBody(MimePart& part);
  bool ReadMultipartBody(MimePart& part, PartList& list);
  bool ReadMessageBody(MessageEntity& message);

  size_t parts_made() const { return parts_made_; }

 private:
  friend class MimeReaderTestPeer;  // the tests drive the levels directly
  class BoundaryReader;
  struct Level {
    std::string delimiter;
    bool done = false;
    bool last = false;
    bool holds_look_ahead = false;
  };
  struct Line {
    const char* begin;
    const char* end;   // at the LF, or at the end of the text
    const char* next;  // where the line after it begins
  };

  // `in_digest`: the part is a child of a multipart/digest, where a part
  // without a type is an embedded message (RFC 2046 section 5.1.5).
  bool ReadPart(MimePart& part, bool past_part_limit, bool in_digest = false);
  void ReadMessage(MessageEntity& message);
  void ReadLeafContent(MimePart& part, bool absorb_own_delimiters);

  // One line of the current level; false at its end.
  bool ReadLine(Line& line);
  // Every remaining line of the current level in one scan: the run of bytes
  // they stand in (each line with its LF). With `absorb_own_delimiters`, the
  // current level's boundary lines other than the closing one count as
  // ordinary lines.
  std::string_view ReadRun(bool absorb_own_delimiters = false);
  // Whether the last run ended at a delimiter line that came right after the
  // run's last line end, rather than after an empty line of its own.
  bool run_meets_delimiter_ = false;
  // The first open level (from 1) whose delimiter begins the line, or 0.
  size_t MatchLevel(const Line& line, bool& closing) const;
  void EndLevels(size_t matched, bool closing);
  bool NextRawLine(const char* from, Line& line) const;

  void OpenLevel(std::string delimiter);
  void CloseLevel();
  void ResetLevel();

  std::string owned_text_;
  std::string_view text_;
  const char* pos_;
  const char* end_;
  StringStream* string_stream_ = nullptr;
  size_t start_offset_ = 0;
  // levels_[0] stands for the input itself and is never done by a boundary.
  std::vector<Level> levels_;
  int depth_ = 0;
  size_t parts_made_ = 0;
};

}  // namespace vesk
