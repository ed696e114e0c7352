#include "engine/protocols/imap_mailbox_names.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(MapSeparator, ReplacesEveryOccurrenceOfTheFirstCharacter) {
  EXPECT_EQ(MapSeparator("INBOX\\Work\\2026", "\\", "."), "INBOX.Work.2026");
  EXPECT_EQ(MapSeparator("INBOX/Work", "/", "\\"), "INBOX\\Work");
  // Only the first character of each separator text counts.
  EXPECT_EQ(MapSeparator("a.b/c", "./", "|x"), "a|b/c");
}

TEST(MapSeparator, LeavesNamesWithoutTheSeparatorOrWithAnEmptySeparator) {
  EXPECT_EQ(MapSeparator("INBOX", "\\", "."), "INBOX");
  EXPECT_EQ(MapSeparator("a\\b", "", "."), "a\\b");
  EXPECT_EQ(MapSeparator("a\\b", "\\", ""), "a\\b");
  EXPECT_EQ(MapSeparator("", "\\", "."), "");
}

}  // namespace
}  // namespace vesk
