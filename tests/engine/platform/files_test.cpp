#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "engine/platform/files.h"

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
