#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/streams/file_stream.h"
#include "engine/streams/stream.h"
#include "engine/streams/string_stream.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using testing::ByteByByteStream;
using testing::ChunkedStream;
using testing::TempFile;

struct LineRead {
  std::string text;
  bool more;
  friend bool operator==(const LineRead&, const LineRead&) = default;
};

// Every ReadLine result until the stream reports its end.
std::vector<LineRead> ReadAllLines(Stream& stream) {
  std::vector<LineRead> reads;
  std::string text = "garbage";  // ReadLine must empty it
  for (;;) {
    const bool more = stream.ReadLine(text);
    reads.push_back({text, more});
    if (!more) return reads;
  }
}

struct LineCase {
  const char* name;
  std::string input;
  std::vector<LineRead> expected;
};

std::vector<LineCase> LineCases() {
  return {
      {"CrInsideAndBeforeLf", "A\rB\r\n", {{"AB", true}, {"", false}}},
      {"Empty", "", {{"", false}}},
      {"LastLineWithoutLf", "xyz", {{"xyz", false}}},
      {"EmptyLines", "\n\r\n\n", {{"", true}, {"", true}, {"", true}, {"", false}}},
      {"LongLineInOneCall", std::string(300, 'q') + "\n", {{std::string(300, 'q'), true}, {"", false}}},
      {"CrAtPieceBoundary", std::string(127, 'a') + "\r" + std::string(130, 'b') + "\nz",
       {{std::string(127, 'a') + std::string(130, 'b'), true}, {"z", false}}},
      {"OnlyCrs", "\r\r\r", {{"", false}}},
      {"NulAndHighBytes", std::string("a\0b\xE9\n", 5), {{std::string("a\0b\xE9", 4), true}, {"", false}}},
      {"LoneCrThenLf", "a\r\r\nb\n", {{"a", true}, {"b", true}, {"", false}}},
  };
}

class ReadLineTest : public ::testing::TestWithParam<LineCase> {};

// The shared implementation, the string stream, the file stream (with buffers
// so small that lines cross refills) and a chunked source all read the same
// lines with the same results.
TEST_P(ReadLineTest, EveryKindGivesTheSameLines) {
  const LineCase& c = GetParam();
  ByteByByteStream shared(c.input);
  EXPECT_EQ(ReadAllLines(shared), c.expected) << "shared implementation";
  StringStream string_stream(c.input);
  EXPECT_EQ(ReadAllLines(string_stream), c.expected) << "string stream";
  for (size_t chunk : {size_t{1}, size_t{16}, size_t{4096}}) {
    ChunkedStream chunked(c.input, chunk);
    EXPECT_EQ(ReadAllLines(chunked), c.expected) << "chunks of " << chunk;
    TempFile file;
    file.WriteAll(c.input);
    const files::FileHandle handle = files::OpenForRead(file.path());
    ASSERT_NE(handle, files::kNoFile);
    {
      FileStream stream(handle, chunk);
      EXPECT_EQ(ReadAllLines(stream), c.expected) << "file stream, buffer of " << chunk;
    }
    files::Close(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, ReadLineTest, ::testing::ValuesIn(LineCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StringStream, ReadCharGivesEachByteThenEnds) {
  StringStream stream("abc");
  char byte = 0;
  std::string seen;
  while (stream.ReadChar(byte)) seen += byte;
  EXPECT_EQ(seen, "abc");
  EXPECT_FALSE(stream.ReadChar(byte));
}

TEST(StringStream, NothingIsLeftToReadAfterAWrite) {
  StringStream stream("unread");
  EXPECT_TRUE(stream.Write("12345", 5));
  char byte = 0;
  EXPECT_FALSE(stream.ReadChar(byte));
  std::string line;
  EXPECT_FALSE(stream.ReadLine(line));
  EXPECT_EQ(stream.text(), "unread12345");

  StringStream empty;
  EXPECT_FALSE(empty.Write("", 0)) << "an empty text counts as a failed write";
  EXPECT_TRUE(empty.Write("x", 1));
}

TEST(WriteText, LengthMinusOneWritesUpToTheNul) {
  StringStream stream;
  EXPECT_TRUE(WriteText(stream, "ab\0cd", -1));
  EXPECT_TRUE(WriteText(stream, "ab\0cd", 5));
  EXPECT_TRUE(WriteLineEnd(stream));
  EXPECT_EQ(stream.text(), std::string("abab\0cd\r\n", 9));
  StringStream empty;
  EXPECT_TRUE(WriteText(empty, "", 0)) << "Write gave false, WriteText still true";
}

TEST(FileStream, GivesBackWhatItReadAhead) {
  TempFile file;
  file.WriteAll("first\nsecond\nthird\n");
  const files::FileHandle handle = files::OpenForRead(file.path());
  ASSERT_NE(handle, files::kNoFile);
  {
    FileStream stream(handle);
    std::string line;
    ASSERT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "first");
  }
  // A second stream over the same handle goes on where the first one stopped.
  FileStream next(handle);
  std::string line;
  ASSERT_TRUE(next.ReadLine(line));
  EXPECT_EQ(line, "second");
  char byte = 0;
  ASSERT_TRUE(next.ReadChar(byte));
  EXPECT_EQ(byte, 't');
  files::Close(handle);
}

TEST(FileStream, WritesEveryByteWhateverTheBufferSize) {
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "line " + std::to_string(i) + "\r\n";
  expected += std::string(100000, 'z');
  for (size_t buffer : {size_t{1}, size_t{16}, size_t{4096}, FileStream::kDefaultBufferSize}) {
    TempFile file;
    const files::FileHandle handle = files::CreateForWrite(file.path());
    ASSERT_NE(handle, files::kNoFile);
    {
      FileStream stream(handle, buffer);
      for (int i = 0; i < 2000; ++i) {
        WriteText(stream, "line " + std::to_string(i));
        WriteLineEnd(stream);
      }
      EXPECT_TRUE(stream.Write(expected.data() + expected.size() - 100000, 100000));
    }
    files::Close(handle);
    EXPECT_EQ(file.ReadAll(), expected) << "buffer of " << buffer;
  }
}

TEST(FileStream, WriteAfterReadGoesWhereReadingStopped) {
  TempFile file;
  file.WriteAll("keep\nreplace\n");
  // The seam opens files for reading or for writing; a caller may still hand
  // over a handle open for both, as this one is.
  const int fd = ::open(file.path().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  {
    FileStream stream(fd);
    std::string line;
    ASSERT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "keep");
    WriteText(stream, "REPLACE");
  }
  ::close(fd);
  EXPECT_EQ(file.ReadAll(), "keep\nREPLACE\n");
}

}  // namespace
}  // namespace vesk
