#include "engine/mime/message_entity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mime_tree.h"

namespace vesk {
namespace {

using testing::ParseMessage;
using testing::Render;

TEST(MessageEntity, NewEntityWritesOneEmptyLine) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  EXPECT_EQ(Render(*message), "\r\n");
  EXPECT_TRUE(message->root()->headers_shared());
  EXPECT_EQ(message->root()->headers(), message->headers());
}

TEST(MessageEntity, LookupWithCreateAppendsAnEmptyFieldRenderedFromTheList) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("Subject", "s");
  EXPECT_FALSE(message->FindAddressList("To", false));
  const Ref<AddressList> to = message->FindAddressList("To", true);
  ASSERT_TRUE(to);
  EXPECT_EQ(message->headers()->Names(), (std::vector<std::string>{"Subject", "To"}));
  // The field is in the list, but an address field without an address is
  // not written.
  EXPECT_EQ(Render(*message), "Subject: s\r\n\r\n");
  message->headers()->Add("Reply-To", " ");
  message->headers()->Add("X-Empty", "");
  EXPECT_EQ(Render(*message), "Subject: s\r\nX-Empty: \r\n\r\n");
  message->headers()->Remove("Reply-To");
  EXPECT_EQ(message->FindAddressList("to", false), to);
  EXPECT_EQ(message->FindAddressList("TO", true), to);
  EXPECT_EQ(message->binding_count(), 1u);

  to->Add()->SetAddress("a@example.com");
  std::string value;
  ASSERT_TRUE(message->headers()->Get("To", value));
  EXPECT_EQ(value, to->RenderedText());
  EXPECT_NE(value.find("a@example.com"), std::string::npos);
}

TEST(MessageEntity, LookupTakesTheFieldValueAndWritingTheFieldUnbinds) {
  const Ref<MessageEntity> message = ParseMessage("Cc: a@example.com, b@example.com\r\n\r\n");
  const Ref<AddressList> cc = message->FindAddressList("Cc", true);
  EXPECT_EQ(cc->Count(), 2u);
  EXPECT_EQ(message->headers()->Count(), 1u);
  message->headers()->Set("cc", "c@example.com");
  EXPECT_EQ(message->binding_count(), 0u);
  EXPECT_EQ(cc->Count(), 2u);  // the old list lives on, detached
  const Ref<AddressList> again = message->FindAddressList("Cc", true);
  EXPECT_NE(again, cc);
  EXPECT_EQ(again->Count(), 1u);
  EXPECT_EQ(again->RenderedText(), "c@example.com");
}

TEST(MessageEntity, ContentTypeOfTheHeaderDescribesTheRoot) {
  const Ref<MessageEntity> message = ParseMessage("Content-Type: text/plain\r\n\r\nbody\r\n");
  EXPECT_EQ(message->root()->type(), "text");
  EXPECT_EQ(message->root()->subtype(), "plain");
  std::string value;
  ASSERT_TRUE(message->headers()->Get("Content-Type", value));
  EXPECT_EQ(value, "text/plain");
  EXPECT_EQ(message->root()->content()->view(), "body\n");
}

TEST(MessageEntity, ResetDetachesTheOldPiecesAndStartsEmpty) {
  const Ref<MessageEntity> message = ParseMessage("To: a@example.com\r\nContent-Type: text/html\r\n\r\nx\r\n");
  const Ref<FieldList> old_headers = message->headers();
  const Ref<MimePart> old_root = message->root();
  const Ref<AddressList> old_to = message->FindAddressList("To", true);
  message->Reset();
  EXPECT_EQ(message->headers()->Count(), 0u);
  EXPECT_EQ(message->binding_count(), 0u);
  EXPECT_TRUE(message->root()->type().empty());
  EXPECT_NE(message->root(), old_root);
  EXPECT_FALSE(old_headers->has_hook());
  // Edits of the old pieces no longer reach the message.
  old_headers->Set("Content-Type", "image/gif");
  old_to->Add()->SetAddress("b@example.com");
  EXPECT_EQ(Render(*message), "\r\n");
  EXPECT_EQ(old_root->subtype(), "html");
}

TEST(MessageEntity, EntityOutlivedByItsHeaderListLeavesAPlainList) {
  Ref<FieldList> headers;
  {
    const Ref<MessageEntity> message = ParseMessage("Content-Type: text/plain\r\n\r\n");
    headers = message->headers();
  }
  std::string value;
  EXPECT_TRUE(headers->Get("Content-Type", value));
  EXPECT_EQ(value, "text/plain");
  headers->Set("Content-Type", "x/y");
}

}  // namespace
}  // namespace vesk
