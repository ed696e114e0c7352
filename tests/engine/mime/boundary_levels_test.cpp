// The reader's boundary levels against a literal chain of boundary readers:
// each a Stream over the one around it, holding one line of look-ahead after
// an empty line and losing it when reset. Random line sequences (prefix
// boundaries, closing forms, CRs inside lines, a last line without LF) and
// random read-and-reset scripts must give the same lines, ends and flags, and
// a leaf's one-scan read must give the lines the line reads give.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/mime/mime_reader.h"
#include "engine/streams/string_stream.h"

namespace vesk {

class MimeReaderTestPeer {
 public:
  explicit MimeReaderTestPeer(MimeReader& reader) : reader_(reader) {}
  void Open(std::string delimiter) { reader_.OpenLevel(std::move(delimiter)); }
  void Close() { reader_.CloseLevel(); }
  void Reset() { reader_.ResetLevel(); }
  bool last() const { return reader_.levels_.back().last; }
  bool done(size_t level) const { return reader_.levels_[level].done; }
  size_t offset() const { return static_cast<size_t>(reader_.pos_ - reader_.text_.data()); }
  // One line without its CRs, or false at the end.
  bool ReadLine(std::string& text, bool* ended_by_lf = nullptr) {
    MimeReader::Line line;
    text.clear();
    if (!reader_.ReadLine(line)) return false;
    AppendWithoutCarriageReturns(text, line.begin, line.end);
    if (ended_by_lf) *ended_by_lf = line.next != line.end;
    return true;
  }
  std::string ReadRun() { return std::string(reader_.ReadRun()); }

 private:
  MimeReader& reader_;
};

namespace {

class LiteralBoundaryReader final : public Stream {
 public:
  LiteralBoundaryReader(Stream& outer, std::string delimiter) : outer_(outer), delimiter_(std::move(delimiter)) {}

  bool ReadLine(std::string& text) override {
    if (done_) return false;
    std::string current;
    bool ended_by_lf;
    if (waiting_) {
      current = pending_;
      waiting_ = false;
    } else if (!ReadAnyLine(outer_, current, ended_by_lf)) {
      done_ = last_ = true;
      return false;
    }
    const std::string* tested = &current;
    if (current.empty()) {
      if (!ReadAnyLine(outer_, pending_, ended_by_lf)) {
        text = current;
        return true;
      }
      waiting_ = true;
      tested = &pending_;
    }
    if (tested->compare(0, delimiter_.size(), delimiter_) != 0) {
      text = current;
      return true;
    }
    done_ = true;
    if (tested->compare(delimiter_.size(), 2, "--") == 0) last_ = true;
    waiting_ = false;
    return false;
  }
  bool ReadChar(char&) override { return false; }
  bool Write(const char*, size_t) override { return false; }
  void Reset() {
    done_ = waiting_ = false;
    pending_.clear();
  }
  bool last() const { return last_; }

 private:
  Stream& outer_;
  std::string delimiter_;
  std::string pending_;
  bool done_ = false;
  bool last_ = false;
  bool waiting_ = false;
};

std::string RandomLines(std::mt19937& rng) {
  static const char* const kLines[] = {"", "\r", "--a", "--a--", "--ab", "-\r-a", "x", "--b",
                                       "\r--a", "--b--", "y-z", "-", "--a  ", "--b--x"};
  std::string text;
  const int lines = static_cast<int>(rng() % 10);
  for (int i = 0; i < lines; ++i) {
    text += kLines[rng() % 14];
    text += rng() % 4 == 0 ? "\r\n" : "\n";
  }
  if (rng() % 3 == 0) text += kLines[rng() % 14];
  return text;
}

std::string Step(bool got, const std::string& line) { return got ? "T:" + line + "|" : "F|"; }

TEST(BoundaryLevels, AgreeWithALiteralChainOfReadersUnderReadsAndResets) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomLines(rng);
    StringStream ours_stream(text);
    StringStream literal_stream(text);
    MimeReader reader(ours_stream);
    MimeReaderTestPeer ours(reader);
    ours.Open("--b");
    ours.Open("--a");
    LiteralBoundaryReader outer(literal_stream, "--b");
    LiteralBoundaryReader inner(outer, "--a");
    std::string ours_log;
    std::string literal_log;
    std::string line;
    for (int step = 0; step < 6; ++step) {
      for (int reads = static_cast<int>(rng() % 4); reads > 0; --reads) {
        const bool got = ours.ReadLine(line);
        ours_log += Step(got, line);
        const bool literal_got = inner.ReadLine(line);
        literal_log += Step(literal_got, line);
      }
      ours_log += ours.last() ? "L" : "-";
      literal_log += inner.last() ? "L" : "-";
      if (inner.last()) break;
      ours.Reset();
      inner.Reset();
    }
    ours.Close();
    for (int reads = 0; reads < 12; ++reads) {
      const bool got = ours.ReadLine(line);
      ours_log += Step(got, line);
      const bool literal_got = outer.ReadLine(line);
      literal_log += Step(literal_got, line);
    }
    ASSERT_EQ(ours_log, literal_log) << "input: " << ::testing::PrintToString(text);
  }
}

TEST(BoundaryLevels, OneScanReadGivesTheLinesOfTheLineReads) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomLines(rng);
    StringStream by_lines_stream(text);
    StringStream by_run_stream(text);
    MimeReader by_lines_reader(by_lines_stream);
    MimeReader by_run_reader(by_run_stream);
    MimeReaderTestPeer by_lines(by_lines_reader);
    MimeReaderTestPeer by_run(by_run_reader);
    for (MimeReaderTestPeer* peer : {&by_lines, &by_run}) {
      peer->Open("--b");
      peer->Open("--a");
    }
    std::string lines;
    std::string line;
    bool ended_by_lf = true;
    while (by_lines.ReadLine(line, &ended_by_lf)) lines += line + (ended_by_lf ? "\n" : "");
    std::string run = by_run.ReadRun();
    std::erase(run, '\r');
    ASSERT_EQ(run, lines) << "input: " << ::testing::PrintToString(text);
    EXPECT_EQ(by_run.offset(), by_lines.offset());
    for (size_t level : {1u, 2u}) EXPECT_EQ(by_run.done(level), by_lines.done(level));
    EXPECT_EQ(by_run.last(), by_lines.last());
  }
}

}  // namespace
}  // namespace vesk
