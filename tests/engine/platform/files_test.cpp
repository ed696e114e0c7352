#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

namespace vesk::files {
namespace {

std::string ContentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t EntriesIn(const std::string& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

// A file is either the old one or the whole new one. The failing cases need
// small file systems that the test command mounts (a full one, a read-only
// one holding old.eml); without them they are skipped.
TEST(WriteWholeFile, ReplacesWholeOrLeavesTheOldFileAsItWas) {
  const std::string folder = ::testing::TempDir() + "vesk_whole_" + std::to_string(::getpid());
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/message.eml";
  ASSERT_TRUE(WriteWholeFile(path, "old", 3));
  ASSERT_TRUE(WriteWholeFile(path, "new content", 11));
  EXPECT_EQ(ContentOf(path), "new content");
  EXPECT_EQ(EntriesIn(folder), 1u) << "nothing is left beside the file";
  EXPECT_FALSE(WriteWholeFile(folder + "/missing/x.eml", "x", 1));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  std::filesystem::remove_all(folder);

  const char* full = std::getenv("VESK_FULL_FS");
  const char* read_only = std::getenv("VESK_READONLY_FS");
  if (!full || !read_only) GTEST_SKIP() << "no small file systems mounted (VESK_FULL_FS, VESK_READONLY_FS)";
  const std::string on_full = std::string(full) + "/old.eml";
  ASSERT_TRUE(WriteWholeFile(on_full, "old content\n", 12));
  const std::string big(1 << 20, 'x');
  EXPECT_FALSE(WriteWholeFile(on_full, big.data(), big.size()));
  EXPECT_EQ(LastError(), kErrorDiskFull);
  EXPECT_EQ(ContentOf(on_full), "old content\n");
  EXPECT_EQ(EntriesIn(full), 1u);
  std::filesystem::remove(on_full);

  const std::string on_read_only = std::string(read_only) + "/old.eml";
  EXPECT_FALSE(WriteWholeFile(on_read_only, "new", 3));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_EQ(ContentOf(on_read_only), "old content\n");
}

}  // namespace
}  // namespace vesk::files
