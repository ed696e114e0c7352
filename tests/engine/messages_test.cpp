#include "engine/common/messages.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(Messages, TextsAreThoseOfTheStringTable) {
  EXPECT_STREQ(FindMessageText(kMsgLibraryName), "VeskMail");
  EXPECT_STREQ(FindMessageText(kMsgOpenFileFailed), "Error occured during open file \"%s\".");
  EXPECT_STREQ(FindMessageText(kMsgEndOfDataRejected), "Udefined end of data transfer.");
  EXPECT_EQ(FindMessageText(115), nullptr);
  EXPECT_EQ(MessageText(123), "Unknown Error");
}

TEST(Messages, FormatFillsTheSocketErrorNumber) {
  EXPECT_EQ(FormatMessageText(kMsgSocketError, 10060), "Socket error # 10060");
  EXPECT_EQ(FormatMessageText(kMsgOpenFileFailed, "C:\\x\\y.eml"),
            "Error occured during open file \"C:\\x\\y.eml\".");
}

}  // namespace
}  // namespace vesk
