#include "engine/mime/mime_part.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "engine/mime/message_entity.h"
#include "support/mime_tree.h"

namespace vesk {
namespace {

using testing::Render;

constexpr char kPreamble[] = "This is a multi-part message in MIME format.";

std::string FieldValue(FieldList& list, std::string_view name) {
  std::string value;
  EXPECT_TRUE(list.Get(name, value)) << name;
  return value;
}

Ref<MimePart> MakePart(std::string_view type, std::string_view subtype) {
  Ref<MimePart> part = MakeRef<MimePart>();
  part->SetType(type);
  part->SetSubtype(subtype);
  return part;
}

Ref<MimePart> MakeMultipart(std::string_view subtype, std::string_view boundary) {
  Ref<MimePart> part = MakeRef<MimePart>();
  part->content_type_parameters()->Set("boundary", boundary);
  part->SetType("multipart");
  part->SetSubtype(subtype);
  return part;
}

TEST(MimePartRendering, NewPartIsAnEmptyHeaderBlockAndNothingElse) {
  const Ref<MimePart> part = MakeRef<MimePart>();
  EXPECT_EQ(part->body_kind(), BodyKind::kLeaf);
  EXPECT_EQ(Render(*part), "\r\n");
}

TEST(MimePartRendering, LeafContentIsEncodedByItsTransferEncoding) {
  const Ref<MimePart> part = MakePart("text", "plain");
  part->content()->Assign("a=b\nc", 5);
  EXPECT_EQ(Render(*part), "Content-Type: text/plain\r\n\r\na=b\r\nc\r\n");
  part->SetTransferEncoding("Quoted-Printable");
  EXPECT_EQ(Render(*part), "Content-Type: text/plain\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\na=3Db\r\nc=\r\n");
  part->SetTransferEncoding("BASE64");
  EXPECT_EQ(Render(*part), "Content-Type: text/plain\r\nContent-Transfer-Encoding: BASE64\r\n\r\nYT1iCmM=\r\n");
}

TEST(MimePartRendering, MultipartWithoutChildrenIsPreambleAndClosingDelimiter) {
  const Ref<MimePart> part = MakeMultipart("mixed", "B");
  EXPECT_EQ(Render(*part), std::string("Content-Type: multipart/mixed;\r\n\tboundary=\"B\"\r\n\r\n") + kPreamble +
                               "\r\n--B--\r\n");
}

TEST(MimePartRendering, ChildrenFollowCrLfAndTheirDelimiterLine) {
  const Ref<MimePart> root = MakeMultipart("alternative", "xyz");
  root->parts()->set_preamble("");
  const Ref<MimePart> plain = MakePart("text", "plain");
  plain->content()->Append("one\n");
  const Ref<MimePart> untyped = MakeRef<MimePart>();
  untyped->content()->Append("two");
  root->parts()->Append(plain);
  root->parts()->Append(untyped);
  EXPECT_EQ(Render(*root),
            "Content-Type: multipart/alternative;\r\n\tboundary=\"xyz\"\r\n\r\n"
            "\r\n--xyz\r\nContent-Type: text/plain\r\n\r\none\r\n"
            "\r\n--xyz\r\n\r\ntwo\r\n"
            "\r\n--xyz--\r\n");
}

TEST(MimePartRendering, PreambleLineBreaksGoOutAsCrLf) {
  const Ref<MimePart> part = MakeMultipart("mixed", "B");
  part->parts()->set_preamble("a\nb\rc\r\n");
  EXPECT_EQ(Render(*part), "Content-Type: multipart/mixed;\r\n\tboundary=\"B\"\r\n\r\n"
                           "a\r\nb\r\nc\r\n\r\n--B--\r\n");
}

TEST(MimePartRendering, MultipartWithoutBoundaryWritesItsPreambleAndFailsWhenItHasParts) {
  const Ref<MimePart> outer = MakeMultipart("mixed", "out");
  const Ref<MimePart> inner = MakeMultipart("mixed", "in");
  inner->content_type_parameters()->Remove("boundary");
  inner->parts()->Append(MakePart("text", "plain"));
  outer->parts()->Append(inner);
  outer->parts()->Append(MakeRef<MimePart>());
  StringStream out;
  EXPECT_FALSE(inner->WriteTo(out));
  EXPECT_EQ(out.text(), std::string("Content-Type: multipart/mixed\r\n\r\n") + kPreamble);
  inner->parts()->Clear();
  StringStream unsplit;
  EXPECT_TRUE(inner->WriteTo(unsplit));
  EXPECT_EQ(unsplit.text(), out.text());
  inner->parts()->Append(MakePart("text", "plain"));
  // A boundary holding a line break cannot delimit anything and would put a
  // bare line end on the wire; it is treated as no boundary.
  const Ref<MimePart> broken = MakeMultipart("mixed", "a\n\tb");
  broken->parts()->Append(MakePart("text", "plain"));
  StringStream broken_out;
  EXPECT_FALSE(broken->WriteTo(broken_out));
  EXPECT_EQ(broken_out.text(),
            std::string("Content-Type: multipart/mixed;\r\n\tboundary=\"a\r\n\tb\"\r\n\r\n") + kPreamble);
  StringStream whole;
  EXPECT_FALSE(outer->WriteTo(whole));
  // The parent goes on with its next child after the failed one.
  EXPECT_NE(whole.text().find(std::string("Content-Type: multipart/mixed\r\n\r\n") + kPreamble +
                              "\r\n--out\r\n\r\n\r\n--out--\r\n"),
            std::string::npos);
}

TEST(MimePartRendering, EmbeddedMessageIsItsHeaderBlockAndRootBody) {
  const Ref<MimePart> part = MakePart("message", "rfc822");
  const Ref<MessageEntity> inner = part->message();
  ASSERT_TRUE(inner);
  inner->headers()->Add("Subject", "inner");
  inner->root()->SetType("text");
  inner->root()->content()->Append("hi\n");
  EXPECT_EQ(Render(*part), "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: text/\r\n"
                           "Mime-Version: 1.0\r\n\r\nhi\r\n");
}

TEST(MimePartRendering, NewMessageWithTextAndOneAttachment) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("Subject", "report");
  message->GetOrCreateMainText()->Append("Hello\nWorld\n");
  const Ref<MimePart> root = message->EnsureMultipartMixedRoot();
  const Ref<MimePart> file = MakeRef<MimePart>();
  file->SetDisposition("attachment");
  file->disposition_parameters()->Add("filename", "a.bin");
  file->SetType("application");
  file->SetSubtype("octet-stream");
  file->content_type_parameters()->Add("name", "a.bin");
  file->SetTransferEncoding("base64");
  file->content()->Assign("\x00\x01\x02", 3);
  root->parts()->Append(file);

  std::string boundary;
  ASSERT_TRUE(root->content_type_parameters()->Get("boundary", boundary));
  EXPECT_EQ(Render(*message), "Subject: report\r\n"
                              "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary + "\"\r\n"
                              "Mime-Version: 1.0\r\n"
                              "\r\n" + std::string(kPreamble) +
                              "\r\n--" + boundary + "\r\n"
                              "\r\n"
                              "Hello\r\nWorld\r\n"
                              "\r\n--" + boundary + "\r\n"
                              "Content-Disposition: attachment;\r\n\tfilename=\"a.bin\"\r\n"
                              "Content-Type: application/octet-stream;\r\n\tname=\"a.bin\"\r\n"
                              "Content-Transfer-Encoding: base64\r\n"
                              "\r\n"
                              "AAEC\r\n"
                              "\r\n--" + boundary + "--\r\n");
}

TEST(MimePartRendering, EveryLineEndOfAHeaderValueIsCrLfFollowedByWhiteSpace) {
  const Ref<MimePart> part = MakePart("text", "plain");
  part->headers()->Add("X-Note", "a\nb\rc");
  part->content_type_parameters()->Add("name", "x\r\nBcc: victim");
  EXPECT_EQ(Render(*part), "Content-Type: text/plain;\r\n\tname=\"x\r\n Bcc: victim\"\r\nX-Note: a\r\n b\r\n c\r\n\r\n");
}

TEST(Boundary, IsTheUniqueIdentifierInTheFixedLayout) {
  const std::regex layout("----=_NextPart_[0-9A-F]{8}_[0-9A-F]{4}_4[0-9A-F]{3}_[89AB][0-9A-F]{7}\\.[0-9A-F]{8}");
  const std::string first = NewBoundary();
  EXPECT_TRUE(std::regex_match(first, layout)) << first;
  EXPECT_NE(first, NewBoundary());
}

TEST(SetType, MultipartAlwaysMakesANewEmptyBodyAndKeepsAnExistingBoundary) {
  const Ref<MimePart> part = MakeMultipart("mixed", "keep");
  part->parts()->Append(MakeRef<MimePart>());
  part->parts()->set_preamble("old");
  part->SetType("MultiPart");
  EXPECT_EQ(part->parts()->Count(), 0u);
  EXPECT_EQ(part->parts()->preamble(), kPreamble);
  EXPECT_EQ(FieldValue(*part->content_type_parameters(), "boundary"), "keep");
  EXPECT_EQ(part->type(), "MultiPart");

  const Ref<MimePart> fresh = MakeRef<MimePart>();
  fresh->SetType("multipart");
  EXPECT_EQ(FieldValue(*fresh->content_type_parameters(), "boundary").rfind("----=_NextPart_", 0), 0u);
}

TEST(SetType, LeafKeepsItsContentOtherKindsStartEmpty) {
  const Ref<MimePart> part = MakeRef<MimePart>();
  const Ref<ContentBuffer> content = part->content();
  content->Append("kept");
  part->SetType("text");
  EXPECT_EQ(part->content(), content);
  EXPECT_EQ(part->content()->view(), "kept");
  part->SetType("Message");
  EXPECT_EQ(part->body_kind(), BodyKind::kMessage);
  part->SetType("text");
  EXPECT_EQ(part->body_kind(), BodyKind::kLeaf);
  EXPECT_TRUE(part->content()->empty());
  // The holder handed out earlier lives on with its bytes.
  EXPECT_EQ(content->view(), "kept");
}

struct ComposeCase {
  const char* name;
  const char* written;       // text written into the Content-Type field
  const char* type;
  const char* subtype;
  std::vector<std::pair<std::string, std::string>> parameters;
  const char* read_back;     // the field's text afterwards
};

class ContentTypeFieldTest : public ::testing::TestWithParam<ComposeCase> {};

TEST_P(ContentTypeFieldTest, WritingParsesReadingComposes) {
  const ComposeCase& c = GetParam();
  const Ref<MimePart> part = MakeRef<MimePart>();
  part->headers()->Set("Content-Type", c.written);
  EXPECT_EQ(part->type(), c.type);
  EXPECT_EQ(part->subtype(), c.subtype);
  std::vector<std::pair<std::string, std::string>> parameters;
  for (size_t i = 0; i < part->content_type_parameters()->Count(); ++i) {
    const Ref<Field> field = part->content_type_parameters()->At(i);
    parameters.emplace_back(field->name(), field->ReadValue());
  }
  EXPECT_EQ(parameters, c.parameters);
  EXPECT_EQ(FieldValue(*part->headers(), "content-type"), c.read_back);
  // What was composed reads back into the same structured data.
  const Ref<MimePart> again = MakeRef<MimePart>();
  again->headers()->Set("Content-Type", c.read_back);
  EXPECT_EQ(testing::Dump(*again), testing::Dump(*part));
}

INSTANTIATE_TEST_SUITE_P(
    MimePart, ContentTypeFieldTest,
    ::testing::Values(
        ComposeCase{"TwoParameters", "text/plain; charset=us-ascii; format=flowed", "text", "plain",
                    {{"charset", "us-ascii"}, {"format", "flowed"}},
                    "text/plain;\r\n\tcharset=\"us-ascii\";\r\n\tformat=\"flowed\""},
        ComposeCase{"TypeAndSubtype", "text/html", "text", "html", {}, "text/html"},
        ComposeCase{"NoSlash", "text", "text", "", {}, "text/"},
        ComposeCase{"QuotedValueKeepsSpacesAndSemicolons", "application/x; name=\"a; b.txt\"", "application", "x",
                    {{"name", "a; b.txt"}}, "application/x;\r\n\tname=\"a; b.txt\""},
        ComposeCase{"QuotedPairsAreUndone", R"(application/x; name="a\".txt"; p="c:\\d\e")", "application", "x",
                    {{"name", "a\".txt"}, {"p", R"(c:\d\e)"}}, "application/x;\r\n\tname=\"a\\\".txt\";\r\n\tp=\"c:\\\\d\\\\e\""},
        ComposeCase{"UnterminatedQuoteRunsToTheEnd", "a/b; n=\"x; y", "a", "b", {{"n", "x; y"}},
                    "a/b;\r\n\tn=\"x; y\""},
        ComposeCase{"FoldedValueWithSpaces", "multipart/mixed;\n\tboundary=\"q r\"", "multipart", "mixed",
                    {{"boundary", "q r"}}, "multipart/mixed;\r\n\tboundary=\"q r\""},
        ComposeCase{"DuplicateNamesAllKept", "a/b; x=1; X=2", "a", "b", {{"x", "1"}, {"X", "2"}},
                    "a/b;\r\n\tx=\"1\";\r\n\tX=\"2\""},
        ComposeCase{"EmptyPairsSkipped", "a/b; x=1;  ", "a", "b", {{"x", "1"}}, "a/b;\r\n\tx=\"1\""},
        // A name runs to white space or "=", not to ";": the scanner has one
        // first separator.
        ComposeCase{"EmptyParametersAreSkipped", "a/b;; ; x=1;", "a", "b", {{"x", "1"}}, "a/b;\r\n\tx=\"1\""},
        ComposeCase{"FoldedAfterAnEmptyParameter", "multipart/mixed;;\n\tBoundary=\"q\"", "multipart", "mixed",
                    {{"Boundary", "q"}}, "multipart/mixed;\r\n\tBoundary=\"q\""},
        ComposeCase{"FoldInsideAQuotedValueIsItsWhiteSpace", "multipart/mixed; boundary=\"simple\r\n boundary\"",
                    "multipart", "mixed", {{"boundary", "simple boundary"}},
                    "multipart/mixed;\r\n\tboundary=\"simple boundary\""},
        ComposeCase{"FoldRightAfterTheOpeningQuote", "a/b; name=\"\n\tx.txt\"", "a", "b", {{"name", "\tx.txt"}},
                    "a/b;\r\n\tname=\"\tx.txt\""},
        ComposeCase{"ParametersWithoutType", "/;x=1", "", "", {{"x", "1"}}, "/;\r\n\tx=\"1\""},
        ComposeCase{"TypeWithoutSubtypeKeepsItsParameters", "application-x-gzip; name=\"document.xml.gz\"",
                    "application-x-gzip", "", {{"name", "document.xml.gz"}},
                    "application-x-gzip/;\r\n\tname=\"document.xml.gz\""},
        ComposeCase{"SlashWithoutSubtype", "text/;x=1", "text", "", {{"x", "1"}}, "text/;\r\n\tx=\"1\""},
        ComposeCase{"QuotedSubtypeThatWouldNotScanIsQuoted", "text/\"a b\"", "text", "a b", {},
                    "text/\"a b\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContentDispositionField, WritingParsesReadingComposes) {
  const Ref<MimePart> part = MakeRef<MimePart>();
  part->headers()->Set("Content-Disposition", "  attachment; filename=\"a\\\".txt\";size=3");
  EXPECT_EQ(part->disposition(), "attachment");
  EXPECT_EQ(FieldValue(*part->disposition_parameters(), "filename"), "a\".txt");
  EXPECT_EQ(FieldValue(*part->disposition_parameters(), "size"), "3");
  EXPECT_EQ(FieldValue(*part->headers(), "Content-Disposition"),
            "attachment;\r\n\tfilename=\"a\\\".txt\";\r\n\tsize=\"3\"");
  part->headers()->Set("content-disposition", "inline");
  EXPECT_EQ(part->disposition(), "inline");
  EXPECT_EQ(part->disposition_parameters()->Count(), 0u);
}

TEST(PresenceRules, FieldsFollowTheStructuredDataAndMimeVersionOnlyTheRoot) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("Subject", "s");
  const Ref<MimePart> root = message->root();
  root->SetType("text");
  EXPECT_EQ(message->headers()->Names(), (std::vector<std::string>{"Subject", "Content-Type", "Mime-Version"}));
  EXPECT_EQ(FieldValue(*message->headers(), "Mime-Version"), "1.0");
  root->SetDisposition("inline");
  EXPECT_EQ(message->headers()->Names(),
            (std::vector<std::string>{"Subject", "Content-Type", "Mime-Version", "Content-Disposition"}));
  root->SetType("");
  root->SetDisposition("");
  EXPECT_EQ(message->headers()->Names(), (std::vector<std::string>{"Subject"}));

  // A transfer encoding alone keeps Mime-Version; a removed one comes back
  // only at the next event.
  root->SetTransferEncoding("7bit");
  EXPECT_EQ(message->headers()->Names(),
            (std::vector<std::string>{"Subject", "Content-Transfer-Encoding", "Mime-Version"}));
  message->headers()->Remove("Mime-Version");
  root->content_type_parameters()->Add("charset", "x");
  EXPECT_FALSE(message->headers()->Find("Mime-Version"));
  root->SetTransferEncoding("8bit");
  EXPECT_TRUE(message->headers()->Find("Mime-Version"));

  // Writing a value never removes the field being written, even while its
  // type is empty; the type set by itself does.
  const Ref<MimePart> untyped = MakeRef<MimePart>();
  untyped->headers()->Add("X-First", "1");
  untyped->headers()->Add("Content-Type", "/html");
  untyped->headers()->Add("X-Last", "2");
  EXPECT_EQ(untyped->headers()->Names(), (std::vector<std::string>{"X-First", "Content-Type", "X-Last"}));
  untyped->headers()->Set("Content-Type", "");
  EXPECT_EQ(untyped->headers()->Names(), (std::vector<std::string>{"X-First", "Content-Type", "X-Last"}));
  EXPECT_EQ(FieldValue(*untyped->headers(), "Content-Type"), "");
  untyped->SetType("");
  EXPECT_EQ(untyped->headers()->Names(), (std::vector<std::string>{"X-First", "X-Last"}));
  // Several values in one block are each taken in; none removes another.
  const Ref<MimePart> several = MakeRef<MimePart>();
  several->headers()->Add("Content-Type", "text/plain; a=b");
  several->headers()->Add("Content-Type", "");
  several->headers()->Add("Content-Type", "/x");
  EXPECT_EQ(several->headers()->Count(), 3u);
  EXPECT_EQ(several->type(), "");
  EXPECT_EQ(several->subtype(), "x");

  const Ref<MimePart> child = MakeRef<MimePart>();
  child->SetType("text");
  child->SetDisposition("attachment");
  child->SetTransferEncoding("base64");
  EXPECT_EQ(child->headers()->Names(),
            (std::vector<std::string>{"Content-Type", "Content-Disposition", "Content-Transfer-Encoding"}));
}

TEST(ReplaceHeaderList, BringsTheNewListInStepAndCarriesTheEncoding) {
  const Ref<MimePart> part = MakePart("image", "gif");
  part->SetTransferEncoding("base64");
  const Ref<FieldList> old_list = part->headers();
  const Ref<FieldList> fresh = MakeRef<FieldList>();
  fresh->Add("X-Kept", "1");
  fresh->Add("Content-Disposition", "stale");
  part->ReplaceHeaderList(fresh, false);
  EXPECT_EQ(fresh->Names(), (std::vector<std::string>{"X-Kept", "Content-Type", "Content-Transfer-Encoding"}));
  EXPECT_EQ(FieldValue(*fresh, "Content-Type"), "image/gif");
  EXPECT_EQ(FieldValue(*fresh, "Content-Transfer-Encoding"), "base64");
  // The old list is detached: it keeps its fields but no longer composes.
  EXPECT_FALSE(old_list->has_hook());
  old_list->Set("Content-Type", "text/plain");
  EXPECT_EQ(part->type(), "image");
}

struct MainTextCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> children;  // under a multipart root; empty: root alone
  const char* root_type;
  int expected;  // index of the child chosen, -1 for none, -2 for the root itself
};

class FindMainTextPartTest : public ::testing::TestWithParam<MainTextCase> {};

TEST_P(FindMainTextPartTest, ChoosesTheFirstBestScore) {
  const MainTextCase& c = GetParam();
  Ref<MimePart> root;
  std::vector<Ref<MimePart>> children;
  if (c.children.empty()) {
    root = MakePart(c.root_type, "rfc822");
  } else {
    root = MakeMultipart(c.root_type, "b");
    for (const auto& [type, subtype] : c.children) {
      children.push_back(MakePart(type, subtype));
      root->parts()->Append(children.back());
    }
  }
  const Ref<MimePart> found = FindMainTextPart(root);
  if (c.expected == -1) {
    EXPECT_FALSE(found);
  } else if (c.expected == -2) {
    EXPECT_EQ(found, root);
  } else {
    EXPECT_EQ(found, children[static_cast<size_t>(c.expected)]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    MimePart, FindMainTextPartTest,
    ::testing::Values(MainTextCase{"PlainBeforeHtml", {{"text", "html"}, {"TEXT", "Plain"}}, "alternative", 1},
                      MainTextCase{"UntypedBeforePdf", {{"", ""}, {"application", "pdf"}}, "mixed", 0},
                      MainTextCase{"ImageScoresOne", {{"image", "gif"}, {"application", "pdf"}}, "mixed", 0},
                      MainTextCase{"FirstOfEqualScores", {{"text", "html"}, {"text", "enriched"}}, "mixed", 0},
                      MainTextCase{"MessagePartsNeverChosen", {{"message", "rfc822"}}, "mixed", -1},
                      MainTextCase{"MessageRoot", {}, "message", -1},
                      MainTextCase{"LeafRoot", {}, "text", -2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindMainTextPart, SearchesNestedMultipartsDepthFirst) {
  const Ref<MimePart> root = MakeMultipart("mixed", "o");
  const Ref<MimePart> inner = MakeMultipart("alternative", "i");
  const Ref<MimePart> html = MakePart("text", "html");
  const Ref<MimePart> plain = MakePart("text", "plain");
  inner->parts()->Append(html);
  inner->parts()->Append(plain);
  root->parts()->Append(MakePart("image", "png"));
  root->parts()->Append(inner);
  root->parts()->Append(MakePart("text", "plain"));
  EXPECT_EQ(FindMainTextPart(root), plain);
}

TEST(GetOrCreateMainText, AppendsToAMixedRootOrWrapsAnyOtherRoot) {
  const Ref<MessageEntity> mixed = MakeRef<MessageEntity>();
  mixed->root()->SetType("multipart");
  mixed->root()->SetSubtype("mixed");
  const Ref<MimePart> mixed_root = mixed->root();
  const Ref<ContentBuffer> text = mixed->GetOrCreateMainText();
  EXPECT_EQ(mixed->root(), mixed_root);
  ASSERT_EQ(mixed_root->parts()->Count(), 1u);
  EXPECT_EQ(mixed_root->parts()->At(0)->content(), text);
  EXPECT_EQ(mixed_root->parts()->At(0)->type(), "text");
  EXPECT_EQ(mixed_root->parts()->At(0)->subtype(), "plain");
  EXPECT_EQ(mixed->GetOrCreateMainText(), text);

  const Ref<MessageEntity> alternative = MakeRef<MessageEntity>();
  alternative->root()->SetType("multipart");
  alternative->root()->SetSubtype("alternative");
  const Ref<MimePart> old_root = alternative->root();
  alternative->GetOrCreateMainText();
  const Ref<MimePart> new_root = alternative->root();
  EXPECT_NE(new_root, old_root);
  EXPECT_EQ(new_root->subtype(), "mixed");
  ASSERT_EQ(new_root->parts()->Count(), 2u);
  EXPECT_EQ(new_root->parts()->At(0), old_root);
  EXPECT_EQ(new_root->parts()->At(1)->subtype(), "plain");
}

TEST(EnsureMultipartMixed, WrapperTakesTheMessageHeaderAndTheOldRootKeepsItsOwnFields) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>();
  message->headers()->Add("From", "a@example.com");
  message->headers()->Add("Content-Type", "multipart/alternative; boundary=alt");
  message->headers()->Add("Content-Disposition", "inline");
  message->root()->SetTransferEncoding("7bit");
  const Ref<MimePart> old_root = message->root();
  const Ref<MimePart> root = message->EnsureMultipartMixedRoot();
  EXPECT_EQ(message->EnsureMultipartMixedRoot(), root);
  ASSERT_NE(root, old_root);
  EXPECT_TRUE(root->headers_shared());
  EXPECT_EQ(root->headers(), message->headers());
  EXPECT_FALSE(old_root->headers_shared());
  EXPECT_EQ(root->parts()->At(0), old_root);
  EXPECT_EQ(message->headers()->Names(),
            (std::vector<std::string>{"From", "Content-Type", "Content-Transfer-Encoding", "Mime-Version"}));
  EXPECT_EQ(FieldValue(*message->headers(), "Content-Type").rfind("multipart/mixed;\r\n\tboundary=\"----=_NextPart_", 0),
            0u);
  EXPECT_EQ(old_root->headers()->Names(),
            (std::vector<std::string>{"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"}));
  EXPECT_EQ(FieldValue(*old_root->headers(), "Content-Type"), "multipart/alternative;\r\n\tboundary=\"alt\"");
  // The old root's own list is live.
  old_root->headers()->Set("Content-Type", "text/html");
  EXPECT_EQ(old_root->subtype(), "html");
}

}  // namespace
}  // namespace vesk
