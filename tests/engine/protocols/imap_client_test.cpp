// The IMAP4 client's reading of a server's text (its dialogues are in
// transcripts/imap.txt).

#include "engine/protocols/imap_client.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vesk {
namespace {

TEST(ImapResponses, ServerTextLosesWhiteSpaceAndTiming) {
  const std::pair<std::string, std::string> cases[] = {
      {" Mailbox doesn't exist: Foo (0.001 + 0.000 secs).", "Mailbox doesn't exist: Foo"},
      {"[TRYCREATE] No such mailbox", "[TRYCREATE] No such mailbox"},
      {"Completed (in two steps)", "Completed (in two steps)"},
      {"  ", ""},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(ServerText(text), shown) << text;
}

}  // namespace
}  // namespace vesk
