#include <string>

#include <gtest/gtest.h>

#include "engine/streams/byte_buffer.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using testing::TempFile;

TEST(ByteBuffer, AssignAppendAndClear) {
  ByteBuffer buffer;
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.data(), nullptr);
  buffer.Assign("hello", 5);
  buffer.Append(" world", 6);
  EXPECT_EQ(buffer.view(), "hello world");
  buffer.Assign("x", 1);
  EXPECT_EQ(buffer.view(), "x");
  buffer.Clear();
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
  buffer.Append("", 0);
  EXPECT_TRUE(buffer.empty());
}

TEST(ByteBuffer, AppendingLineByLineKeepsEveryByte) {
  ByteBuffer buffer;
  std::string expected;
  const uint8_t* last_block = nullptr;
  int moves = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::string line = std::to_string(i) + "\n";
    buffer.Append(line);
    expected += line;
    if (buffer.data() != last_block) {
      ++moves;
      last_block = buffer.data();
    }
  }
  EXPECT_EQ(buffer.view(), expected);
  // Geometric growth: the block moves a logarithmic number of times.
  EXPECT_LT(moves, 40);
}

TEST(ByteBuffer, CopiesAndMovesOwnTheirBytes) {
  ByteBuffer original;
  original.Assign("abc", 3);
  ByteBuffer copy = original;
  original.Append("d", 1);
  EXPECT_EQ(copy.view(), "abc");
  ByteBuffer moved = std::move(original);
  EXPECT_EQ(moved.view(), "abcd");
  EXPECT_TRUE(original.empty());  // NOLINT: moved-from state is specified
}

TEST(ByteBuffer, LoadFromMissingFileFailsAndKeepsContent) {
  ByteBuffer buffer;
  buffer.Assign("kept", 4);
  EXPECT_FALSE(buffer.LoadFromFile(TempFile().path() + ".missing"));
  EXPECT_EQ(buffer.view(), "kept");
}

TEST(ByteBuffer, SaveReplacesAnExistingFileAndLoadReadsItBack) {
  TempFile file;
  file.WriteAll(std::string(10000, 'o'));
  std::string content("binary\0\r\n\xFF", 10);
  ByteBuffer buffer;
  buffer.Assign(content.data(), content.size());
  ASSERT_TRUE(buffer.SaveToFile(file.path()));
  EXPECT_EQ(file.ReadAll(), content);
  ByteBuffer loaded;
  ASSERT_TRUE(loaded.LoadFromFile(file.path()));
  EXPECT_EQ(loaded.view(), content);
}

TEST(ByteBuffer, EmptyFileAndEmptyBuffer) {
  TempFile file;
  ByteBuffer empty;
  ASSERT_TRUE(empty.SaveToFile(file.path()));
  EXPECT_EQ(file.ReadAll(), "");
  ByteBuffer loaded;
  loaded.Assign("old", 3);
  ASSERT_TRUE(loaded.LoadFromFile(file.path()));
  EXPECT_TRUE(loaded.empty());
}

TEST(ByteBuffer, LoadFromHandleReadsTheWholeFileFromItsStart) {
  TempFile file;
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  file.WriteAll(big);
  const files::FileHandle handle = files::OpenForRead(file.path());
  char skip[100];
  size_t got = 0;
  ASSERT_TRUE(files::Read(handle, skip, sizeof skip, &got));
  ByteBuffer buffer;
  EXPECT_TRUE(buffer.LoadFromHandle(handle));
  files::Close(handle);
  EXPECT_EQ(buffer.view(), big);
}

}  // namespace
}  // namespace vesk
