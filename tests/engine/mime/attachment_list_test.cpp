#include "engine/mime/attachment_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine/streams/string_stream.h"

namespace vesk {
namespace {

Ref<MessageEntity> Parse(const std::string& text) {
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  StringStream in(text);
  message->Read(in);
  return message;
}

std::string Render(MessageEntity& message) {
  StringStream out;
  message.Write(out);
  return out.text();
}

const char kMixed[] =
    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\n\r\ntext\r\n"
    "--b\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\n\r\nA\r\n"
    "--b\r\nContent-Disposition: Attachment; filename=\"no.txt\"\r\n\r\nN\r\n"
    "--b\r\nContent-Disposition: attachment; filename=\"b.txt\"\r\n\r\nB\r\n"
    "--b--\r\n";

TEST(AttachmentList, CountsOnlyLeafChildrenMarkedExactlyAttachment) {
  AttachmentList list(Parse(kMixed));
  ASSERT_TRUE(list.RootIsMultipart());
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(2)->disposition_parameters()->At(0)->stored_value(), "b.txt");
  EXPECT_FALSE(list.Item(0));
  EXPECT_FALSE(list.Item(3));

  AttachmentList plain(Parse("Subject: x\r\n\r\nbody\r\n"));
  EXPECT_FALSE(plain.RootIsMultipart());
  EXPECT_EQ(plain.Count(), 0u);
}

TEST(AttachmentList, RemoveAndClearKeepOtherChildrenInOrder) {
  Ref<MessageEntity> message = Parse(kMixed);
  AttachmentList list(message);
  ASSERT_TRUE(list.Remove(1));
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_FALSE(list.Remove(2));
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  ASSERT_EQ(message->root()->parts()->Count(), 2u) << "the text and the capital-A part stay";
  EXPECT_EQ(message->root()->parts()->At(1)->disposition(), "Attachment");
}

TEST(AttachmentList, AddWrapsASingleBodyFirst) {
  Ref<MessageEntity> message = Parse("Subject: x\r\nContent-Type: text/plain\r\n\r\nhello\r\n");
  AttachmentList list(message);
  Ref<MimePart> added = list.Add();
  EXPECT_EQ(message->root()->type(), "multipart");
  ASSERT_EQ(message->root()->parts()->Count(), 2u);
  EXPECT_EQ(message->root()->parts()->At(0)->subtype(), "plain");
  EXPECT_EQ(message->root()->parts()->At(1), added);
  EXPECT_EQ(list.Count(), 1u);
}

class AttachFileTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("vesk-attach-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_ / "old.files");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  std::filesystem::path folder_;
};

TEST_F(AttachFileTest, PartIsNamedTypedAndEncodedInBase64) {
  Ref<MessageEntity> message = Parse("Subject: report\r\n\r\n");
  message->GetOrCreateMainText()->Append("see attached\n");
  AttachmentList list(message);
  ASSERT_TRUE(list.AttachFile(Write("report.pdf", "%PDF-1.4 bytes")));
  const std::string text = Render(*message);
  EXPECT_NE(text.find("Content-Disposition: attachment;\r\n\tfilename=\"report.pdf\"\r\n"
                      "Content-Type: application/pdf;\r\n\tname=\"report.pdf\"\r\n"
                      "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQgYnl0ZXM=\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(message->root()->parts()->At(0)->content()->view(), "see attached\n") << "the text stays first";
}

TEST_F(AttachFileTest, UnknownExtensionsAndDottedFoldersGiveOctetStream) {
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  AttachmentList list(message);
  ASSERT_TRUE(list.AttachFile(Write("old.files/readme", "r")));
  ASSERT_TRUE(list.AttachFile(Write("data.unknownext", "u")));
  for (size_t position : {1u, 2u}) {
    Ref<MimePart> part = list.Item(position);
    EXPECT_EQ(part->type() + "/" + part->subtype(), "application/octet-stream");
  }
  std::string name;
  list.Item(1)->disposition_parameters()->Get("filename", name);
  EXPECT_EQ(name, "readme");
}

TEST_F(AttachFileTest, UnreadableFileLeavesTheMessageAsItWas) {
  Ref<MessageEntity> message = Parse("Subject: x\r\n\r\nbody\r\n");
  const std::string before = Render(*message);
  AttachmentList list(message);
  EXPECT_FALSE(list.AttachFile((folder_ / "missing.txt").string()));
  EXPECT_EQ(Render(*message), before);
}

TEST(FileNameOfPath, TakesTheTextAfterTheLastSlashOfEitherKind) {
  EXPECT_EQ(FileNameOfPath("C:\\mail\\out\\report.pdf"), "report.pdf");
  EXPECT_EQ(FileNameOfPath("/var/www/uploads/photo.jpg"), "photo.jpg");
  EXPECT_EQ(FileNameOfPath("C:\\mixed/dirs\\name.txt"), "name.txt");
  EXPECT_EQ(FileNameOfPath("plain.txt"), "plain.txt");
  EXPECT_EQ(FileNameOfPath("folder\\"), "");
}

}  // namespace
}  // namespace vesk
