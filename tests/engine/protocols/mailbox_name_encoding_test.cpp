// Mailbox names on the wire in modified UTF-7 (RFC 3501 section 5.1.3).
#include <gtest/gtest.h>

#include <string>

#include "engine/protocols/imap_mailbox_names.h"

namespace vesk {
namespace {

struct NameCase {
  const char* client;  // UTF-8
  const char* wire;
};

TEST(MailboxNameEncoding, WritesAndReadsModifiedUtf7) {
  const NameCase cases[] = {
      {"INBOX/Sent Items", "INBOX/Sent Items"},  // printable ASCII stays byte for byte
      {"A&B", "A&-B"},
      {"&", "&-"},
      {"Entw\xC3\xBC" "rfe", "Entw&APw-rfe"},
      {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},  // the RFC's own example
      {"\xD0\xA7\xD0\xB5", "&BCcENQ-"},
      {"\xF0\x9F\x98\x80", "&2D3eAA-"},  // beyond U+FFFF: a surrogate pair
      {"a\xC3\xA9&\xC3\xA9", "a&AOk-&-&AOk-"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(EncodeMailboxName(c.client), c.wire) << c.client;
    std::string decoded;
    EXPECT_TRUE(DecodeMailboxName(c.wire, decoded)) << c.wire;
    EXPECT_EQ(decoded, c.client) << c.wire;
  }
  // Bytes that are not UTF-8 are taken as the characters of their numbers.
  EXPECT_EQ(EncodeMailboxName("\xFC"), "&APw-");
  // What is not modified UTF-7 is refused, so that the caller keeps it as it came.
  for (const char* invalid : {"&AGE", "&A-", "&2D0-", "&3gA-", "&AP*-", "caf\xC3\xA9", "&APx-"}) {
    std::string decoded;
    EXPECT_FALSE(DecodeMailboxName(invalid, decoded)) << invalid;
  }
}

}  // namespace
}  // namespace vesk
