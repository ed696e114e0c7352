// Lines read from every kind of stream, streams over a caller's file handle,
// and whole files written at once.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/streams/file_stream.h"
#include "engine/streams/string_stream.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

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
  for (bool more = true; more;) {
    more = stream.ReadLine(text);
    reads.push_back({text, more});
  }
  return reads;
}

struct LineCase {
  const char* name;
  std::string input;
  std::vector<LineRead> expected;
};

class ReadLineTest : public ::testing::TestWithParam<LineCase> {};

// The shared implementation, the string stream, the file stream (with buffers
// so small that lines cross refills) and a chunked source read the same lines.
TEST_P(ReadLineTest, EveryKindGivesTheSameLines) {
  const LineCase& c = GetParam();
  ChunkedStream shared(c.input, 1, false);
  EXPECT_EQ(ReadAllLines(shared), c.expected) << "shared implementation";
  StringStream string_stream(c.input);
  EXPECT_EQ(ReadAllLines(string_stream), c.expected) << "string stream";
  for (size_t chunk : {size_t{1}, size_t{16}, size_t{4096}}) {
    ChunkedStream chunked(c.input, chunk);
    EXPECT_EQ(ReadAllLines(chunked), c.expected) << "chunks of " << chunk;
    TempFile file;
    file.WriteAll(c.input);
    const files::FileHandle handle = files::OpenForRead(file.path);
    {
      FileStream stream(handle, chunk);
      EXPECT_EQ(ReadAllLines(stream), c.expected) << "file stream, buffer of " << chunk;
    }
    files::Close(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ReadLineTest,
    ::testing::ValuesIn(std::vector<LineCase>{
        {"CrInsideAndBeforeLf", "A\rB\r\n", {{"AB", true}, {"", false}}},
        {"Empty", "", {{"", false}}},
        {"LastLineWithoutLf", "xyz", {{"xyz", false}}},
        {"EmptyLines", "\n\r\n\n", {{"", true}, {"", true}, {"", true}, {"", false}}},
        {"LongLine", std::string(300, 'q') + "\n", {{std::string(300, 'q'), true}, {"", false}}},
        {"CrAtPieceBoundary", std::string(127, 'a') + "\r" + std::string(130, 'b') + "\nz\n",
         {{std::string(127, 'a') + std::string(130, 'b'), true}, {"z", true}, {"", false}}},
        {"NulAndHighBytes", std::string("a\0b\xE9\n", 5), {{std::string("a\0b\xE9", 4), true}, {"", false}}},
        {"LoneCrThenLf", "a\r\r\nb\n", {{"a", true}, {"b", true}, {"", false}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A stream over a handle gives back what it read ahead: a second stream, or a
// write, goes on where reading stopped.
TEST(FileStream, GivesBackWhatItReadAhead) {
  TempFile file;
  file.WriteAll("first\nsecond\nthird\nreplace\n");
  const int fd = ::open(file.path.c_str(), O_RDWR);  // a caller's handle may be open for both
  std::string line;
  {
    FileStream stream(fd);
    ASSERT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "first");
  }
  {
    FileStream next(fd);
    ASSERT_TRUE(next.ReadLine(line));
    EXPECT_EQ(line, "second");
    char byte = 0;
    ASSERT_TRUE(next.ReadChar(byte));
    EXPECT_EQ(byte, 't');
    ASSERT_TRUE(next.ReadLine(line));
    WriteText(next, "REPLACE");
  }
  ::close(fd);
  EXPECT_EQ(file.ReadAll(), "first\nsecond\nthird\nREPLACE\n");
}

// A file is either the old one or the whole new one, and nothing is left
// beside it. (Saves that fail on a full or read-only file system are tried
// through the DLL, where the test command can mount such file systems.)
TEST(WriteWholeFile, ReplacesWholeOrLeavesTheOldFileAsItWas) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(::testing::TempDir()) / ("vesk_whole_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string path = (folder / "message.eml").string();
  ASSERT_TRUE(files::WriteWholeFile(path, "old", 3));
  ASSERT_TRUE(files::WriteWholeFile(path, "new content", 11));
  std::ifstream written(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "new content");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "nothing is left beside the file";
  EXPECT_FALSE(files::WriteWholeFile((folder / "missing" / "x.eml").string(), "x", 1));
  EXPECT_EQ(files::LastError(), files::kErrorFileNotFound);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vesk
