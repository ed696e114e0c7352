#include "engine/platform/unique_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace vesk {
namespace {

TEST(UniqueId, SuccessiveIdentifiersDifferAndCarryTheRandomVersion) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const UniqueId id = NewUniqueId();
    EXPECT_EQ(id.data3 >> 12, 4);
    EXPECT_EQ(id.data4[0] & 0xC0, 0x80);
    std::string bytes(reinterpret_cast<const char*>(&id), sizeof id);
    EXPECT_TRUE(seen.insert(bytes).second) << "identifier repeated after " << i;
  }
}

}  // namespace
}  // namespace vesk
