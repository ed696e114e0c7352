#include "engine/mime/mime_reader.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/common/ascii.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"

namespace vesk {
namespace {

bool IsCrOnly(const char* begin, const char* end) {
  for (; begin < end; ++begin) {
    if (*begin != '\r') return false;
  }
  return true;
}

// Whether the line, with its CRs dropped, begins with `delimiter`; if so,
// `closing` tells whether "--" follows it.
bool BeginsWithDelimiter(const char* begin, const char* end, std::string_view delimiter, bool& closing) {
  size_t matched = 0;
  while (matched < delimiter.size()) {
    if (begin == end) return false;
    const char c = *begin++;
    if (c == '\r') continue;
    if (c != delimiter[matched]) return false;
    ++matched;
  }
  int dashes = 0;
  while (begin != end && dashes < 2) {
    const char c = *begin++;
    if (c == '\r') continue;
    if (c != '-') break;
    ++dashes;
  }
  closing = dashes == 2;
  return true;
}

// The lines of a run, CRs dropped, each followed by CR LF (a last line
// without LF too: what follows it is written on a line of its own). CRs
// alone after the last LF make no line, as when the text is read line by
// line.
std::string LinesWithCrLf(std::string_view run) {
  std::string text;
  text.reserve(run.size() + run.size() / 32);
  const char* p = run.data();
  const char* const end = p + run.size();
  while (p < end) {
    const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const char* const stop = found ? static_cast<const char*>(found) : end;
    if (!found && IsCrOnly(p, end)) break;
    AppendWithoutCarriageReturns(text, p, stop);
    text += "\r\n";
    p = stop + 1;
  }
  return text;
}

// Whether every line of the run ends in CR LF, the last one too, and no CR
// stands anywhere else: only such text can go back on the wire as it stands.
// With SSE2, sixteen bytes a step: the LFs must be exactly the bytes after
// the CRs.
bool LinesEndInCrLf(std::string_view run) {
  const size_t size = run.size();
  if (size < 2 || run[size - 2] != '\r' || run[size - 1] != '\n') return false;
  const char* const p = run.data();
  size_t i = 0;
  unsigned after_cr = 0;  // whether the byte before i is a CR
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; i + 16 <= size; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned crs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
    const unsigned lfs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    if ((((crs << 1) | after_cr) & 0xFFFFu) != lfs) return false;
    after_cr = crs >> 15;
  }
#endif
  for (; i < size; ++i) {
    if ((p[i] == '\n') != (after_cr != 0)) return false;
    after_cr = p[i] == '\r';
  }
  return true;
}

// Whether base64 text is laid out as the encoder writes `decoded` bytes: 76
// characters and a line end (`line_end`) a line, the last line shorter. Such
// text is not kept, since encoding the content again gives it back (unless
// the sender put in characters the decoder skips) and attachments are large.
bool HasEncoderLayout(std::string_view text, size_t decoded, std::string_view line_end) {
  const size_t lines = (decoded + 56) / 57;
  if (text.size() != (decoded + 2) / 3 * 4 + lines * line_end.size()) return false;
  for (size_t i = 76; i + line_end.size() <= text.size(); i += 76 + line_end.size()) {
    if (text.compare(i, line_end.size(), line_end) != 0) return false;
  }
  if (text.size() < line_end.size() || text.compare(text.size() - line_end.size(), line_end.size(), line_end) != 0) {
    return false;
  }
  // No other line end: an empty line after a line one character too long
  // (a character the decoder skips) would put its line end where the last
  // one belongs, and only in one of the two forms (a CR LF is longer).
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) == lines;
}

// Whether encoded text is beyond what a leaf keeps. Its CRs do not count, so
// that text read with CR LF line ends and the same text with LF alone (as
// an earlier reading of it was written, or as a stream read line by line
// gives it) get the same answer.
bool TooLongToKeep(std::string_view run) {
  if (run.size() <= kMaxKeptEncodedText) return false;
  if (run.size() > 2 * kMaxKeptEncodedText) return true;
  return run.size() - static_cast<size_t>(std::count(run.begin(), run.end(), '\r')) > kMaxKeptEncodedText;
}

// The run up to its last LF when its last line, CRs dropped, ends in LF (CRs
// after it make no line); empty otherwise.
std::string_view EndedLines(std::string_view run) {
  const size_t last = run.find_last_not_of('\r');
  return last != std::string_view::npos && run[last] == '\n' ? run.substr(0, last + 1) : std::string_view();
}

}  // namespace

// The lines of the current level as a Stream, for the header block reader.
// Its single-byte read always reports the end and its write does nothing.
class MimeReader::BoundaryReader final : public Stream {
 public:
  explicit BoundaryReader(MimeReader& reader) : reader_(reader) {}
  bool ReadLine(std::string& text) override {
    text.clear();
    Line line;
    if (!reader_.ReadLine(line)) return false;
    last_line_ = line.begin;
    AppendWithoutCarriageReturns(text, line.begin, line.end);
    return true;
  }
  bool ReadChar(char&) override { return false; }
  bool Write(const char*, size_t) override { return false; }

  // Reads a header block into `fields`. A line that ended the block without
  // being empty is given back: it is the first line of the content. (Only a
  // line with text can do that, and reading such a line moves nothing but
  // the position, so stepping back over it is exact.)
  void ReadHeaderBlock(FieldList& fields) {
    if (fields.ReadHeaderBlock(*this)) reader_.pos_ = last_line_;
  }

 private:
  MimeReader& reader_;
  const char* last_line_ = nullptr;
};

MimeReader::MimeReader(Stream& stream) {
  // Speed (1): a StringStream is read where its text stands.
  if (auto* string_stream = dynamic_cast<StringStream*>(&stream)) {
    string_stream_ = string_stream;
    text_ = string_stream->unread();
  } else {
    std::string line;
    bool ended_by_lf;
    while (ReadAnyLine(stream, line, ended_by_lf)) {
      owned_text_ += line;
      if (ended_by_lf) owned_text_ += '\n';
    }
    text_ = owned_text_;
  }
  pos_ = text_.data();
  end_ = pos_ + text_.size();
  levels_.emplace_back();
}

MimeReader::~MimeReader() {
  if (string_stream_) string_stream_->Skip(static_cast<size_t>(pos_ - text_.data()));
}

bool MimeReader::NextRawLine(const char* from, Line& line) const {
  if (from >= end_) return false;
  const void* lf = std::memchr(from, '\n', static_cast<size_t>(end_ - from));
  // CRs alone after the last LF are no line: nothing is left once they go.
  if (!lf && IsCrOnly(from, end_)) return false;
  line.begin = from;
  line.end = lf ? static_cast<const char*>(lf) : end_;
  line.next = lf ? line.end + 1 : end_;
  return true;
}

size_t MimeReader::MatchLevel(const Line& line, bool& closing) const {
  const char* first = line.begin;
  while (first < line.end && *first == '\r') ++first;
  if (first == line.end || *first != '-') return 0;
  for (size_t j = 1; j < levels_.size(); ++j) {
    if (BeginsWithDelimiter(line.begin, line.end, levels_[j].delimiter, closing)) return j;
  }
  return 0;
}

void MimeReader::EndLevels(size_t matched, bool closing) {
  levels_[matched].done = true;
  if (closing) levels_[matched].last = true;
  for (size_t i = matched + 1; i < levels_.size(); ++i) levels_[i].done = levels_[i].last = true;
}

bool MimeReader::ReadLine(Line& line) {
  const size_t current = levels_.size() - 1;
  if (current == 0) {
    if (!NextRawLine(pos_, line)) {
      pos_ = end_;
      return false;
    }
    pos_ = line.next;
    return true;
  }
  Level& level = levels_[current];
  if (level.done) return false;
  level.holds_look_ahead = false;
  if (!NextRawLine(pos_, line)) {
    pos_ = end_;
    EndLevels(1, true);
    return false;
  }
  bool closing = false;
  if (IsCrOnly(line.begin, line.end)) {
    // An empty line is delivered only when the line after it is no boundary
    // line; that line is then held by this level until it asks again.
    Line next;
    if (!NextRawLine(line.next, next)) {
      pos_ = line.next;
      return true;
    }
    if (const size_t matched = MatchLevel(next, closing)) {
      // The empty line ends a header block, which the writer ends with one
      // of its own, so the delimiter line follows that directly.
      run_meets_delimiter_ = true;
      pos_ = next.next;
      EndLevels(matched, closing);
      return false;
    }
    pos_ = line.next;
    level.holds_look_ahead = true;
    return true;
  }
  if (const size_t matched = MatchLevel(line, closing)) {
    run_meets_delimiter_ = false;
    pos_ = line.next;
    EndLevels(matched, closing);
    return false;
  }
  pos_ = line.next;
  return true;
}

std::string_view MimeReader::ReadRun(bool absorb_own_delimiters) {
  const char* const start = pos_;
  const size_t current = levels_.size() - 1;
  if (current > 0) {
    Level& level = levels_[current];
    // Ended already: run_meets_delimiter_ stays as the line that ended it left it.
    if (level.done) return {};
    run_meets_delimiter_ = false;
    level.holds_look_ahead = false;
    // Speed (2): a boundary line has "-" as its first byte other than CR, so
    // only the dashes of the run are looked at, and only those that stand at
    // the start of a line (after CRs at most) lead to a closer look.
    const char* search = start;
    while (const void* found = std::memchr(search, '-', static_cast<size_t>(end_ - search))) {
      const char* const dash = static_cast<const char*>(found);
      const char* line_start = dash;
      while (line_start > start && line_start[-1] == '\r') --line_start;
      if (line_start != start && line_start[-1] != '\n') {
        search = dash + 1;
        continue;
      }
      const void* const lf = std::memchr(dash, '\n', static_cast<size_t>(end_ - dash));
      const char* const line_end = lf ? static_cast<const char*>(lf) : end_;
      const char* const next_line = lf ? line_end + 1 : end_;
      bool closing = false;
      const size_t matched = MatchLevel(Line{line_start, line_end, next_line}, closing);
      if (matched && !(absorb_own_delimiters && matched == current && !closing)) {
        // An empty line right before the boundary line belongs to it.
        const char* run_end = line_start;
        bool own_line_end = false;
        if (run_end != start) {
          const char* previous = run_end - 1;  // on the LF that ends the line before
          while (previous > start && previous[-1] == '\r') --previous;
          own_line_end = previous == start || previous[-1] == '\n';
          if (own_line_end) run_end = previous;
        }
        run_meets_delimiter_ = !own_line_end;
        pos_ = next_line;
        EndLevels(matched, closing);
        return {start, static_cast<size_t>(run_end - start)};
      }
      search = next_line;
    }
    EndLevels(1, true);
  }
  // The rest of the input, a last line without LF included.
  run_meets_delimiter_ = false;
  pos_ = end_;
  return {start, static_cast<size_t>(end_ - start)};
}

void MimeReader::OpenLevel(std::string delimiter) {
  // The new level reads on from here, so a line held by the level around it
  // is the new level's first line, not something to drop later.
  Level& outer = levels_.back();
  outer.holds_look_ahead = false;
  // A level opened inside one that has already ended meets its end at once.
  const bool ended = outer.done;
  levels_.push_back(Level{std::move(delimiter), ended, ended, false});
}

void MimeReader::CloseLevel() { levels_.pop_back(); }

void MimeReader::ResetLevel() {
  Level& level = levels_.back();
  level.done = false;
  if (level.holds_look_ahead) {
    Line held;
    pos_ = NextRawLine(pos_, held) ? held.next : end_;
    level.holds_look_ahead = false;
  }
}

bool MimeReader::ReadTopPart(MimePart& part) {
  ++parts_made_;
  return ReadPart(part, false);
}

void MimeReader::ReadTopMessage(MessageEntity& message) { ReadMessage(message); }

bool MimeReader::ReadPart(MimePart& part, bool past_part_limit, bool in_digest) {
  ++depth_;
  if (!part.headers_shared()) BoundaryReader(*this).ReadHeaderBlock(*part.headers());
  if (in_digest && part.type().empty() && part.subtype().empty()) {
    // The digest's default, which its writer left unsaid: the part reads as
    // a message without a field being added, and is written as it was read.
    const bool said = part.headers()->Find("Content-Type").has_value();
    part.SetType("message");
    part.SetSubtype("rfc822");
    if (const std::optional<size_t> field = part.headers()->Find("Content-Type"); field && !said) {
      part.headers()->RemoveAt(*field);
    }
  }
  bool result = true;
  if (past_part_limit || depth_ > kMaxNestingDepth) {
    part.ReplaceBodyWithLeaf();
    ReadLeafContent(part, past_part_limit);
  } else {
    const BodyContent body = part.GetBody();
    if (body.leaf) {
      result = ReadLeafBody(part);
    } else if (body.parts) {
      result = ReadMultipartBody(part, *body.parts);
    } else if (body.message) {
      result = ReadMessageBody(*body.message);
    }
  }
  --depth_;
  return result;
}

void MimeReader::ReadMessage(MessageEntity& message) {
  message.Reset();
  ++parts_made_;
  BoundaryReader(*this).ReadHeaderBlock(*message.headers());
  const Ref<MimePart> root = message.root();
  ReadPart(*root, false);
}

bool MimeReader::ReadMessageBody(MessageEntity& message) {
  ReadMessage(message);
  return true;
}

bool MimeReader::ReadLeafBody(MimePart& part) {
  ReadLeafContent(part, false);
  return true;
}

void MimeReader::ReadLeafContent(MimePart& part, bool absorb_own_delimiters) {
  std::string encoding;
  part.GetTransferEncoding(encoding);
  const std::string_view run = ReadRun(absorb_own_delimiters);
  ContentBuffer& content = *part.content();
  const TransferEncoding kind = TransferEncodingFromValue(encoding);
  DecodeTransferText(kind, run, content, LineBreaks::kContent);
  // The encoded text is kept for the writer, which gives it back while the
  // content and its encoding stay as read: the sender's bytes, and no
  // encoding on every write. Plain content is written as it stands anyway,
  // and content that ran past its parent's delimiter lines holds lines that
  // would split differently when read again.
  //
  // What is kept is the run's lines, their CRs dropped, each ended by CR LF
  // (as in the usual case they are already), so that reading a stream line
  // by line, which drops every CR, keeps the same text as reading in place.
  //
  // Only text of up to kMaxKeptEncodedText bytes (CRs not counted) is kept:
  // beyond that,
  // copying it costs reading time and memory in proportion to its size (a
  // large leaf is rarely text), while encoding it again costs only writing.
  if (kind == TransferEncoding::kPlain || absorb_own_delimiters || TooLongToKeep(run)) return;
  const bool base64 = kind == TransferEncoding::kBase64;
  if (LinesEndInCrLf(run)) {
    if (!(base64 && HasEncoderLayout(run, content.size(), "\r\n"))) content.KeepEncodedForm(static_cast<int>(kind), run);
    return;
  }
  const std::string_view ended = EndedLines(run);
  if (ended.empty()) return;
  if (base64 && ended.find('\r') == std::string_view::npos && HasEncoderLayout(ended, content.size(), "\n")) return;
  const std::string lines = LinesWithCrLf(ended);
  if (!(base64 && HasEncoderLayout(lines, content.size(), "\r\n"))) content.KeepEncodedForm(static_cast<int>(kind), lines);
}

bool MimeReader::ReadMultipartBody(MimePart& part, PartList& list) {
  std::string boundary;
  list.Clear();
  // Without a boundary that a line can hold, or with the boundary of a
  // multipart it is nested in (whose level would take every delimiter line),
  // nothing delimits parts: the lines are kept as the preamble, so that
  // writing the part gives them back.
  bool usable = part.GetBoundary(boundary) && boundary.find_first_of("\r\n") == std::string::npos;
  for (size_t i = 1; usable && i < levels_.size(); ++i) usable = levels_[i].delimiter != "--" + boundary;
  if (!usable) {
    list.set_preamble(LinesWithCrLf(ReadRun()));
    list.set_unsplit();
    return true;
  }
  const bool in_digest = EqualsIgnoringAsciiCase(part.subtype(), "digest");
  OpenLevel("--" + boundary);
  list.set_preamble(LinesWithCrLf(ReadRun()));
  list.set_delimiter_follows_preamble_directly(run_meets_delimiter_);
  while (!levels_.back().last) {
    ResetLevel();
    const Ref<MimePart> child = MakeRef<MimePart>();
    list.Append(child);
    const bool past_part_limit = ++parts_made_ >= kMaxPartsPerMessage;
    ReadPart(*child, past_part_limit, in_digest);
    child->set_delimiter_follows_directly(run_meets_delimiter_);
  }
  CloseLevel();
  list.set_epilogue(LinesWithCrLf(ReadRun()));
  return true;
}

bool ReadPart(Stream& stream, MimePart& part) {
  MimeReader reader(stream);
  return reader.ReadTopPart(part);
}

void ReadMessage(Stream& stream, MessageEntity& message) {
  MimeReader reader(stream);
  reader.ReadTopMessage(message);
}

}  // namespace vesk
