#include <string>

#include <gtest/gtest.h>

#include "engine/platform/files.h"
#include "support/test_streams.h"

namespace vesk::files {
namespace {

using vesk::testing::TempFile;

// The POSIX side reports the Windows numbers a caller of the DLL would see.
TEST(Files, FailuresGiveWindowsErrorNumbers) {
  const TempFile file;
  EXPECT_EQ(OpenForRead(file.path() + ".missing"), kNoFile);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(OpenForRead(file.path() + "/below-a-file"), kNoFile);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_EQ(OpenForRead("/tmp"), kNoFile) << "a folder is not a file";
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_EQ(CreateForWrite("/nonexistent-folder/x"), kNoFile);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(Remove(file.path() + ".missing"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  size_t got = 0;
  char byte;
  EXPECT_FALSE(Read(kNoFile, &byte, 1, &got));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

TEST(Files, WriteSizeSeekAndRead) {
  const TempFile file;
  const FileHandle out = CreateForWrite(file.path());
  ASSERT_NE(out, kNoFile);
  ASSERT_TRUE(Write(out, "0123456789", 10));
  uint64_t size = 0;
  ASSERT_TRUE(Size(out, &size));
  EXPECT_EQ(size, 10u);
  Close(out);

  const FileHandle in = OpenForRead(file.path());
  ASSERT_NE(in, kNoFile);
  char buffer[16];
  size_t got = 0;
  ASSERT_TRUE(Read(in, buffer, 4, &got));
  EXPECT_EQ(std::string(buffer, got), "0123");
  ASSERT_TRUE(SeekBy(in, -2));
  ASSERT_TRUE(Read(in, buffer, 4, &got));
  EXPECT_EQ(std::string(buffer, got), "2345");
  ASSERT_TRUE(SeekToStart(in));
  ASSERT_TRUE(Read(in, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "0123456789");
  ASSERT_TRUE(Read(in, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u) << "end of file";
  Close(in);
}

TEST(Files, TemporaryFilesAreNewEmptyAndCarryThePrefix) {
  std::string first, second;
  ASSERT_TRUE(MakeTempFile("vmx", &first));
  ASSERT_TRUE(MakeTempFile("vmx", &second));
  EXPECT_NE(first, second);
  const size_t slash = first.rfind('/');
  EXPECT_EQ(first.compare(slash + 1, 3, "vmx"), 0) << first;
  const FileHandle handle = OpenForRead(first);
  ASSERT_NE(handle, kNoFile);
  uint64_t size = 1;
  EXPECT_TRUE(Size(handle, &size));
  EXPECT_EQ(size, 0u);
  Close(handle);
  EXPECT_TRUE(Remove(first));
  EXPECT_TRUE(Remove(second));
  EXPECT_EQ(OpenForRead(first), kNoFile);
}

}  // namespace
}  // namespace vesk::files
