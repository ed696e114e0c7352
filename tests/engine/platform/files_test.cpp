#include <unistd.h>

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

// A file is either the old one or the whole new one. (Saves that fail on a
// full or read-only file system are tried through the DLL, where the test
// command can mount such file systems.)
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
}

}  // namespace
}  // namespace vesk::files
