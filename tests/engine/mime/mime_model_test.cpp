// The MIME part tree: what a message renders, how structured data and header
// fields stay in step, the main text, the message's address lists and the
// attachment view.

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/attachment_list.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/outgoing_message.h"
#include "support/mime_tree.h"

namespace vesk {
namespace {

using testing::FieldValue;
using testing::HeaderOf;
using testing::MakePart;
using testing::ParseMessage;
using testing::Render;
using Names = std::vector<std::string>;

constexpr char kPreamble[] = "This is a multi-part message in MIME format.";

TEST(MimePart, NewMessageWithTextAndOneAttachment) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("Subject", "report");
  message->GetOrCreateMainText()->Append("Hello\nWorld\n");
  const Ref<MimePart> root = message->EnsureMultipartMixedRoot();
  const Ref<MimePart> file = MakePart("application", "octet-stream");
  file->SetDisposition("attachment");
  file->disposition_parameters()->Add("filename", "a.bin");
  file->content_type_parameters()->Add("name", "x\r\nBcc: victim");
  file->SetTransferEncoding("base64");
  file->content()->Assign("\x00\x01\x02", 3);
  root->parts()->Append(file);
  const std::string boundary = FieldValue(*root->content_type_parameters(), "boundary");
  EXPECT_TRUE(std::regex_match(boundary, std::regex("----=_NextPart_[0-9A-F]{8}_[0-9A-F]{4}_4[0-9A-F]{3}_[89AB][0-9A-F]{7}"
                                                    "\\.[0-9A-F]{8}"))) << boundary;
  EXPECT_EQ(Render(*message), "Subject: report\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" + boundary +
                                  "\"\r\nMime-Version: 1.0\r\n\r\n" + kPreamble + "\r\n--" + boundary +
                                  "\r\n\r\nHello\r\nWorld\r\n\r\n--" + boundary +
                                  "\r\nContent-Type: application/octet-stream;\r\n\tname=\"x\r\n Bcc: victim\"\r\n"
                                  "Content-Disposition: attachment;\r\n\tfilename=\"a.bin\"\r\n"
                                  "Content-Transfer-Encoding: base64\r\n\r\nAAEC\r\n\r\n--" + boundary + "--\r\n");
}

// Without a usable boundary (none, or one holding a line break, which would
// put a bare line end on the wire) a multipart writes its header and its
// preamble, and fails when it has parts to lose.
TEST(MimePart, MultipartWithoutUsableBoundaryWritesItsPreambleAndFailsWhenItHasParts) {
  const Ref<MimePart> broken = MakePart("multipart", "mixed", "a\n\tb");
  StringStream unsplit;
  EXPECT_TRUE(WritePart(unsplit, *broken));
  broken->parts()->Append(MakePart("text", "plain"));
  StringStream out;
  EXPECT_FALSE(WritePart(out, *broken));
  EXPECT_EQ(out.text(), std::string("Content-Type: multipart/mixed;\r\n\tboundary=\"a\r\n\tb\"\r\n\r\n") + kPreamble);
  EXPECT_EQ(unsplit.text(), out.text());
}

struct ComposeCase {
  const char* name;
  const char* written;  // text written into the Content-Type field
  const char* type;
  const char* subtype;
  testing::Fields parameters;
  const char* composed;  // the field's text once the structured data changed
};

class ContentTypeFieldTest : public ::testing::TestWithParam<ComposeCase> {};

// The field keeps the text it was given until its structured data changes;
// then it is composed from that data, and what was composed reads back the
// same.
TEST_P(ContentTypeFieldTest, WritingParsesAChangeComposes) {
  const ComposeCase& c = GetParam();
  const Ref<MimePart> part = MakeRef<MimePart>();
  part->headers()->Set("Content-Type", c.written);
  EXPECT_EQ(part->type() + "|" + part->subtype(), std::string(c.type) + "|" + c.subtype);
  EXPECT_EQ(testing::AllFields(*part->content_type_parameters()), c.parameters);
  EXPECT_EQ(FieldValue(*part->headers(), "content-type"), c.written) << "unchanged, as written";
  part->SetSubtype(std::string(part->subtype()));
  EXPECT_EQ(FieldValue(*part->headers(), "content-type"), c.composed);
  const Ref<MimePart> again = MakeRef<MimePart>();
  again->headers()->Set("Content-Type", c.composed);
  part->headers()->Set("Content-Type", c.composed);
  EXPECT_EQ(testing::Dump(*again), testing::Dump(*part)) << "what was composed reads back the same";
}

INSTANTIATE_TEST_SUITE_P(
    MimePart, ContentTypeFieldTest,
    ::testing::Values(
        ComposeCase{"TwoParameters", "text/plain; charset=us-ascii; format=flowed", "text", "plain",
                    {{"charset", "us-ascii"}, {"format", "flowed"}},
                    "text/plain;\r\n\tcharset=\"us-ascii\";\r\n\tformat=\"flowed\""},
        ComposeCase{"QuotedPairsAreUndone", R"(application/x; name="a\".txt"; p="c:\\d\e")", "application", "x",
                    {{"name", "a\".txt"}, {"p", R"(c:\d\e)"}},
                    "application/x;\r\n\tname=\"a\\\".txt\";\r\n\tp=\"c:\\\\d\\\\e\""},
        ComposeCase{"DuplicatesKeptEmptyPairsSkipped", "a/b; x=1; X=2;  ", "a", "b", {{"x", "1"}, {"X", "2"}},
                    "a/b;\r\n\tx=\"1\";\r\n\tX=\"2\""},
        ComposeCase{"EmptyParametersAreSkipped", "a/b;; ; x=1;", "a", "b", {{"x", "1"}}, "a/b;\r\n\tx=\"1\""},
        ComposeCase{"FoldedAfterAnEmptyParameter", "multipart/mixed;;\n\tBoundary=\"q\"", "multipart", "mixed",
                    {{"Boundary", "q"}}, "multipart/mixed;\r\n\tBoundary=\"q\""},
        ComposeCase{"FoldInsideAQuotedValueIsItsWhiteSpace", "multipart/mixed; boundary=\"simple\r\n boundary\"",
                    "multipart", "mixed", {{"boundary", "simple boundary"}},
                    "multipart/mixed;\r\n\tboundary=\"simple boundary\""},
        ComposeCase{"FoldRightAfterTheOpeningQuote", "a/b; name=\"\n\tx.txt\"", "a", "b", {{"name", "\tx.txt"}},
                    "a/b;\r\n\tname=\"\tx.txt\""},
        // RFC 2045 section 5.2: an invalid type is text/plain, parameters kept.
        ComposeCase{"TypeWithoutSubtypeIsTextPlainWithItsParameters", "application-x-gzip; name=\"document.xml.gz\"",
                    "text", "plain", {{"name", "document.xml.gz"}}, "text/plain;\r\n\tname=\"document.xml.gz\""},
        ComposeCase{"SlashWithoutSubtypeIsTextPlain", "text/;x=1", "text", "plain", {{"x", "1"}},
                    "text/plain;\r\n\tx=\"1\""},
        ComposeCase{"SlashWithoutTypeIsTextPlain", "/html", "text", "plain", {}, "text/plain"},
        ComposeCase{"QuotedSubtypeThatWouldNotScanIsQuoted", "text/\"a b\"", "text", "a b", {}, "text/\"a b\""}),
    [](const auto& info) { return std::string(info.param.name); });

// The content fields exist while there is structured data for them;
// Mime-Version belongs to the message's header only.
TEST(MimePart, FieldsFollowTheStructuredData) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("Subject", "s");
  const Ref<MimePart> root = message->root();
  root->SetType("text");
  root->SetDisposition("inline");
  EXPECT_EQ(message->headers()->Names(), (Names{"Subject", "Content-Type", "Mime-Version", "Content-Disposition"}));
  root->SetType("");
  root->SetDisposition("");
  EXPECT_EQ(message->headers()->Names(), (Names{"Subject"}));
  root->SetTransferEncoding("7bit");
  EXPECT_EQ(message->headers()->Names(), (Names{"Subject", "Content-Transfer-Encoding", "Mime-Version"}));
}

// Depth first, the first part of the best kind: plain text (typed or not),
// then any other text, then anything but a message; never an attachment, not
// even a text/plain one. A child is "type/subtype" ("/" untyped), with
// "+disposition"; a multipart child holds text/html and text/plain, and 9
// stands for its plain part.
TEST(MimePart, MainTextIsTheFirstBestScoredPartDepthFirstAndNeverAnAttachment) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"text/html", "TEXT/Plain"}, 1},  {{"/", "application/pdf"}, 0},        {{"text/html", "/"}, 1},
      {{"/", "text/plain"}, 0},          {{"image/gif", "application/pdf"}, 0}, {{"text/html", "text/enriched"}, 0},
      {{"message/rfc822"}, -1},          {{"image/png", "multipart/alternative", "text/plain"}, 9},
      {{"text/plain+attachment"}, -1},   {{"text/plain+Attachment", "text/html", "/"}, 2},
      {{"text/plain+Attachment"}, -1},   {{"text/plain+attachment", "text/html", "/"}, 2}};
  for (const auto& [children, expected] : cases) {
    const Ref<MimePart> root = MakePart("multipart", "mixed", "b");
    for (const std::string& child : children) {
      const size_t slash = child.find('/'), plus = child.find('+');
      const bool multipart = child.starts_with("multipart");
      const Ref<MimePart> part = MakePart(child.substr(0, slash), child.substr(slash + 1, plus - slash - 1),
                                          multipart ? "i" : "");
      if (plus != std::string::npos) part->SetDisposition(child.substr(plus + 1));
      for (const char* subtype : {"html", "plain"}) {
        if (multipart) part->parts()->Append(MakePart("text", subtype));
      }
      root->parts()->Append(part);
    }
    const Ref<MimePart> wanted = expected < 0    ? Ref<MimePart>()
                                 : expected == 9 ? root->parts()->At(1)->parts()->At(1)
                                                 : root->parts()->At(expected);
    EXPECT_EQ(FindMainTextPart(root), wanted) << ::testing::PrintToString(children);
  }
}

// A message whose only text is attached gets a text part of its own.
TEST(MimePart, MainTextOfAMessageWithOnlyAnAttachedTextIsANewPart) {
  const Ref<MessageEntity> message = ParseMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Disposition: attachment\r\n"
      "Content-Type: text/plain\r\n\r\nnotes\r\n--b--\r\n");
  message->GetOrCreateMainText()->Assign("Hello", 5);
  const Ref<PartList> children = message->root()->parts();
  ASSERT_EQ(children->Count(), 2u);
  EXPECT_EQ(children->At(0)->content()->view(), "notes\n");
  EXPECT_EQ(children->At(1)->content()->view(), "Hello");
}

// A root other than multipart/mixed is wrapped in one, which takes the
// message's header; the old root keeps its own fields, live.
TEST(MessageEntity, MainTextWrapsARootOtherThanMixed) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("From", "a@example.com");
  message->headers()->Add("Content-Type", "multipart/alternative; boundary=alt");
  message->headers()->Add("Content-Disposition", "inline");
  message->root()->SetTransferEncoding("7bit");
  const Ref<MimePart> old_root = message->root();
  message->GetOrCreateMainText();
  const Ref<MimePart> root = message->root();
  EXPECT_EQ(message->EnsureMultipartMixedRoot(), root);
  EXPECT_EQ(root->headers(), message->headers());
  ASSERT_EQ(root->parts()->Count(), 2u);
  EXPECT_EQ(root->parts()->At(0), old_root);
  EXPECT_EQ(root->parts()->At(1)->subtype(), "plain");
  EXPECT_EQ(message->headers()->Names(), (Names{"From", "Content-Type", "Content-Transfer-Encoding", "Mime-Version"}));
  EXPECT_EQ(FieldValue(*message->headers(), "Content-Type").rfind("multipart/mixed;\r\n\tboundary=\"----=_Next", 0), 0u);
  EXPECT_EQ(old_root->headers()->Names(), (Names{"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"}));
  old_root->headers()->Set("Content-Type", "text/html");
  EXPECT_EQ(old_root->subtype(), "html") << "the old root's own list is live";
}

// What a read message says of its text: a utf-8 label on a text part, a
// utf-8 encoded-word, or raw UTF-8 in a header (an embedded message's too).
TEST(MessageEntity, DeclaresUtf8TextWhereItsTextSaysSo) {
  const std::pair<const char*, bool> cases[] = {
      {"Subject: plain\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nx\r\n", false},
      {"Subject: =?ISO-8859-1?Q?f=FCr?=\r\n\r\nx\r\n", false},
      {"Subject: latin \xFC\r\n\r\nx\r\n", false},
      {"Content-Type: text/plain; charset=\"UTF-8\"\r\n\r\nx\r\n", true},
      {"Subject: =?utf-8?B?5pel5pys?=\r\n\r\nx\r\n", true},
      {"From: =?UTF-8?Q?J=C3=B6rg?= <j@example.com>\r\n\r\nx\r\n", true},
      {"Subject: \xE6\x97\xA5\xE6\x9C\xAC\r\n\r\nx\r\n", true},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
       "Subject: =?utf-8?Q?x?=\r\n\r\ny\r\n--b--\r\n", true},
      {"Content-Type: image/png; charset=utf-8\r\n\r\nx\r\n", false},
  };
  for (const auto& [text, utf8] : cases) EXPECT_EQ(ParseMessage(text)->DeclaresUtf8Text(), utf8) << text;
}

TEST(MessageEntity, AddressListsAreBoundToTheirFields) {
  const Ref<MessageEntity> message = ParseMessage("Subject: s\r\nCc: a@example.com, b@example.com\r\n\r\n");
  EXPECT_FALSE(message->FindAddressList("To", false));
  const Ref<AddressList> to = message->FindAddressList("To", true);
  EXPECT_EQ(message->FindAddressList("TO", true), to);
  // Looking at a list adds no field; its first entry does (and an address
  // field without an address is not written).
  EXPECT_EQ(to->Count(), 0u);
  EXPECT_EQ(message->headers()->Names(), (Names{"Subject", "Cc"}));
  message->headers()->Add("Reply-To", " ");
  message->headers()->Add("X-Empty", "");
  EXPECT_EQ(Render(*message), "Subject: s\r\nCc: a@example.com, b@example.com\r\nX-Empty: \r\n\r\n");
  message->headers()->Remove("Reply-To");
  to->Add()->SetAddress("x@example.com");
  EXPECT_EQ(FieldValue(*message->headers(), "To"), "x@example.com");
  const Ref<AddressList> cc = message->FindAddressList("Cc", true);
  EXPECT_EQ(cc->Count(), 2u);
  message->headers()->Set("cc", "c@example.com");  // writing the field unbinds the list
  EXPECT_EQ(cc->Count(), 2u);
  EXPECT_EQ(message->FindAddressList("Cc", true)->RenderedText(), "c@example.com");
  const Ref<FieldList> old_headers = message->headers();
  message->Reset();
  EXPECT_EQ(message->binding_count(), 0u);
  old_headers->Set("Content-Type", "image/gif");
  to->Add()->SetAddress("late@example.com");
  EXPECT_EQ(Render(*message), "\r\n") << "old pieces no longer reach a reset message";
}

// A text leaf says on the wire what its content needs; the model keeps what
// the caller set, and the written text reads back to the same content. Sent
// to a server that takes 8BITMIME (RFC 6152), text with 8-bit bytes goes as it
// is (8bit) unless 8bit cannot carry it (a line beyond 998 octets, a NUL), and
// what Save writes stays as it was.
TEST(MimePart, TextLeavesGetTheCharsetAndEncodingTheirContentNeeds) {
  const std::string long_line(1000, 'a');
  const std::string cjk = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE6\x97\xA5\xE6\x9C\xAC";
  const std::string qp = "Mime-Version: 1.0\r\nContent-Transfer-Encoding: quoted-printable\r\n";
  const std::string utf8 = "Mime-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"utf-8\"\r\n";
  const std::string cte = "Content-Transfer-Encoding: ";
  const struct {
    std::string content, set_header, added, eight_bit;
  } cases[] = {
      {"plain\n", "", "", ""},
      {"Gr\xC3\xBC\xC3\x9F" "e from a text that is mostly English\n", "", utf8 + cte + "quoted-printable\r\n", "8bit"},
      {cjk + "\n", "", utf8 + cte + "base64\r\n", "8bit"},
      {long_line + "\n", "", qp, "quoted-printable"},
      // At the limit of 998 octets before the line end, after a short line, and last.
      {"a\n" + std::string(998, 'b') + "\n" + std::string(998, 'c') + "\n", "", "", ""},
      {"a\n" + std::string(999, 'b') + "\n", "", qp, "quoted-printable"},
      {"a\n" + std::string(999, 'c'), "", qp, "quoted-printable"},
      {"\xC3\xBC" + std::string(999, 'x') + "\n", "", utf8 + cte + "quoted-printable\r\n", "quoted-printable"},
      {std::string("\xC3\xBC\0x\n", 5), "", utf8 + cte + "base64\r\n", "base64"},
      {"\xC3\xA9\n", cte + "8bit\r\n", cte + "8bit\r\n" + utf8, "8bit"},
      {"\xC3\xA9\n", "Content-Type: text/html; charset=\"iso-8859-1\"\r\n",
       "Content-Type: text/html; charset=\"iso-8859-1\"\r\nMime-Version: 1.0\r\n" + cte + "base64\r\n",
       "8bit"},  // base64 is shorter here
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    const Ref<MessageEntity> message = ParseMessage("Subject: s\r\n" + c.set_header + "\r\n");
    message->GetOrCreateMainText()->Assign(c.content.data(), c.content.size());
    const std::string written = Render(*message);
    EXPECT_EQ(HeaderOf(written) + "\r\n", "Subject: s\r\n" + (c.added.empty() ? c.set_header : c.added));
    EXPECT_EQ(message->headers()->Find("Content-Transfer-Encoding").has_value(),
              c.set_header.find("Transfer") != std::string::npos);
    EXPECT_EQ(ParseMessage(written)->GetOrCreateMainText()->view(), c.content) << written;
    const std::string sent = TransmittedBytes(*message, true);
    std::string sent_encoding;  // stays empty without the field
    ParseMessage(sent)->headers()->Get("Content-Transfer-Encoding", sent_encoding);
    EXPECT_EQ(sent_encoding, c.eight_bit) << sent;
    const std::string first_line = "\r\n\r\n" + c.content.substr(0, c.content.find('\n')) + "\r\n";
    if (c.eight_bit == "8bit") EXPECT_NE(sent.find(first_line), std::string::npos) << sent;
    EXPECT_EQ(Render(*message), written);
  }
}

// File names outside ASCII go out in the extended form (RFC 2231), continued
// within the line limit when long, and read back with their charset.
TEST(MimePart, FileNamesOutsideAsciiAreWrittenInTheExtendedForm) {
  const std::string long_name = "R\xC3\xA9sum\xC3\xA9 " + std::string(70, 'x') + ".pdf";
  const std::pair<std::string, std::string> cases[] = {
      {"a b.txt", "attachment;\r\n\tfilename=\"a b.txt\""},
      {"J\xC3\xB6rg's \"CV\".txt", "attachment;\r\n\tfilename*=utf-8''J%C3%B6rg%27s%20%22CV%22.txt"},
      {long_name, ""},
  };
  for (const auto& [name, composed] : cases) {
    const Ref<MimePart> part = testing::AttachmentNamed(name);
    const std::string text = part->ComposedContentDisposition(DefaultTextMode());
    if (!composed.empty()) EXPECT_EQ(text, composed);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(line.size() - (line.back() == '\r') + 7, 78u) << line;  // a TAB counts as 8 columns
    }
    const Ref<MimePart> reread = ParseMessage("Content-Disposition: " + text + "\r\n\r\n")->root();
    std::string charset;
    EXPECT_EQ(reread->FileName(&charset), name);
    EXPECT_EQ(charset, composed.find('*') != std::string::npos || composed.empty() ? "utf-8" : "");
    EXPECT_EQ(reread->ComposedContentDisposition(DefaultTextMode()), text) << "written again as it was read";
  }
}

// A loaded message writes its structured fields as they were read: raw bytes
// stay raw (no encoded-words, which RFC 2047 section 5 keeps out of them),
// and an 8-bit file name keeps its bytes and has no label put on it. Once
// the caller changes a parameter, the field is composed, and a value outside
// ASCII is labelled with the charset its bytes are really in.
TEST(MimePart, LoadedStructuredFieldsAreWrittenAsTheyWereRead) {
  const std::string type = "Content-Type: application/pdf; name=\"r\xE9sum\xE9.pdf\"\r\n";
  const std::string disposition = "Content-Disposition: attachment;\r\n filename=\"r\xE9sum\xE9.pdf\"\r\n";
  const std::string raw_type = std::string("Content-Type: \x05\xFF\r\n");
  const std::string text = "Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                           "--b\r\n" + raw_type + "\r\nodd\r\n--b\r\n" + type + disposition +
                           "Content-Transfer-Encoding: base64\r\n\r\nAAEC\r\n--b--\r\n";
  const Ref<MessageEntity> message = ParseMessage(text);
  std::string written = Render(*message);
  EXPECT_NE(written.find("--b\r\n" + raw_type + "\r\nodd\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find(type + disposition), std::string::npos) << written;
  EXPECT_EQ(Render(*ParseMessage(written)), written);
  const Ref<MimePart> odd = message->root()->parts()->At(0);
  EXPECT_EQ(odd->type() + "/" + odd->subtype(), "text/plain") << "an invalid type reads as text/plain";

  const Ref<MimePart> file = message->root()->parts()->At(1);
  file->disposition_parameters()->Set("size", "3");
  written = Render(*message);
  EXPECT_NE(written.find(type), std::string::npos) << "the unchanged field stays";
  EXPECT_NE(written.find("Content-Disposition: attachment;\r\n\tfilename*=iso-8859-1''r%E9sum%E9.pdf;\r\n\tsize=\"3\""),
            std::string::npos)
      << written;
  file->content_type_parameters()->Set("name", "r\xC3\xA9sum\xC3\xA9.pdf");
  EXPECT_NE(Render(*message).find("Content-Type: application/pdf;\r\n\tname*=utf-8''r%C3%A9sum%C3%A9.pdf"),
            std::string::npos);

  // A charset the wire needs is added to the composed field, never to a
  // sender's text whose quotes do not close.
  const Ref<MessageEntity> unclosed =
      ParseMessage("Content-Type: text/plain; name=\"a;b\r\n\r\nGr\xC3\xBC\xC3\x9F" "e\r\n");
  written = Render(*unclosed);
  EXPECT_EQ(HeaderOf(written),
            "Content-Type: text/plain;\r\n\tname=\"a;b\";\r\n\tcharset=\"utf-8\"\r\n"
            "Mime-Version: 1.0\r\nContent-Transfer-Encoding: base64");
  EXPECT_EQ(Render(*ParseMessage(written)), written);
}

// An attached file's fields come in the order they were first needed:
// Content-Disposition, Content-Type, Content-Transfer-Encoding.
TEST(AttachmentList, AttachedFileFieldsComeInTheirOrder) {
  const std::string path = ::testing::TempDir() + "vesk notes.txt";
  std::ofstream(path, std::ios::binary) << "agenda\n";
  const Ref<MimePart> part = MakeFilePart(path, "attachment", DefaultTextMode());
  std::remove(path.c_str());
  ASSERT_TRUE(part);
  EXPECT_EQ(part->headers()->Names(), (Names{"Content-Disposition", "Content-Type", "Content-Transfer-Encoding"}));
  EXPECT_EQ(FieldValue(*part->headers(), "Content-Type"), "text/plain;\r\n\tname=\"vesk notes.txt\"");
  EXPECT_EQ(FieldValue(*part->headers(), "Content-Disposition"), "attachment;\r\n\tfilename=\"vesk notes.txt\"");
}

TEST(AttachmentList, CountsOnlyChildrenMarkedExactlyAttachment) {
  const Ref<MessageEntity> message = ParseMessage(
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n\r\ntext\r\n"
      "--b\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\n\r\nA\r\n"
      "--b\r\nContent-Disposition: Attachment; filename=\"no.txt\"\r\n\r\nN\r\n"
      "--b\r\nContent-Disposition: attachment; filename=\"b.txt\"\r\n\r\nB\r\n--b--\r\n");
  AttachmentList list(message);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(FieldValue(*list.Item(2)->disposition_parameters(), "filename"), "b.txt");
  EXPECT_FALSE(list.Item(0));
  EXPECT_FALSE(list.Item(3));
  ASSERT_TRUE(list.Remove(1));
  EXPECT_FALSE(list.Remove(2));
  list.Clear();
  EXPECT_EQ(message->root()->parts()->Count(), 2u) << "the text and the capital-A part stay";
}

}  // namespace
}  // namespace vesk
