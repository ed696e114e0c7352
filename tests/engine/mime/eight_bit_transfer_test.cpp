#include <gtest/gtest.h>

#include <string>

#include "engine/mime/message_entity.h"
#include "engine/mime/outgoing_message.h"

namespace vesk {
namespace {

std::string TransmittedText(const std::string& text, bool eight_bit) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->GetOrCreateMainText()->Append(text);
  return TransmittedBytes(*message, eight_bit);
}

// The Content-Transfer-Encoding the text part went with ("" for none).
std::string EncodingOf(const std::string& text, bool eight_bit) {
  const std::string bytes = TransmittedText(text, eight_bit);
  const std::string name = "Content-Transfer-Encoding: ";
  const std::size_t at = bytes.find(name);
  return at == std::string::npos ? "" : bytes.substr(at + name.size(), bytes.find("\r\n", at) - at - name.size());
}

// RFC 6152: for a server that takes 8BITMIME, text with 8-bit bytes goes as
// it is (8bit) instead of quoted-printable; what Save writes stays encoded,
// and text that 8bit cannot carry (a line beyond 998 octets, a NUL) is
// encoded all the same.
TEST(EightBitTransfer, TextGoesAs8bitOnlyWhenAskedAndAllowed) {
  const std::string text = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n";
  EXPECT_TRUE(EncodingOf(text, false) == "quoted-printable" || EncodingOf(text, false) == "base64");
  const std::string eight = TransmittedText(text, true);
  EXPECT_NE(eight.find("Content-Transfer-Encoding: 8bit\r\n"), std::string::npos) << eight;
  EXPECT_NE(eight.find("\r\n\r\nGr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\r\n"), std::string::npos) << eight;

  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->GetOrCreateMainText()->Append(text);
  TransmittedBytes(*message, true);
  EXPECT_EQ(RenderedBytes(*message).find("8bit"), std::string::npos);

  for (const std::string& unfit : {"\xC3\xBC" + std::string(999, 'x') + "\n", std::string("\xC3\xBC\0x\n", 5)}) {
    const std::string encoding = EncodingOf(unfit, true);
    EXPECT_TRUE(encoding == "quoted-printable" || encoding == "base64") << encoding;
  }
  // ASCII text needs no transfer encoding either way.
  EXPECT_EQ(EncodingOf("plain\n", true), "");
}

}  // namespace
}  // namespace vesk
