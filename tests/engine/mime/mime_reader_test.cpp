#include "engine/mime/mime_reader.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "engine/mime/message_entity.h"
#include "support/mime_tree.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using testing::Dump;
using testing::ParseMessage;
using testing::Render;

// A compact description of a tree: type/subtype, then children in brackets,
// an embedded message in braces, or the content in quotes.
std::string Shape(MimePart& part) {
  std::string out = part.type() + "/" + part.subtype();
  const BodyContent body = part.GetBody();
  if (body.leaf) out += " \"" + std::string(body.leaf->view()) + "\"";
  if (body.parts) {
    out += " [";
    for (size_t i = 0; i < body.parts->Count(); ++i) out += (i ? ", " : "") + Shape(*body.parts->At(i));
    out += "]";
  }
  if (body.message) out += " {" + Shape(*body.message->root()) + "}";
  return out;
}

struct ParseCase {
  const char* name;
  const char* text;  // LF line ends; each case is also read with CR LF
  const char* shape;
  const char* preamble;  // of the root, when it is a multipart
  // Whether rendering and parsing again gives the same tree; not so where
  // content whose last line had no line end is written with one.
  bool stable = true;
};

#define MIXED "Content-Type: multipart/mixed; boundary=B\n\n"
const ParseCase kParseCases[] = {
    {"LastLineWithoutLineEndIsKept", "Subject: x\n\nkept\nlast", "/ \"kept\nlast\"", "", false},
    {"HeaderOnlyWithoutLineEnd", "Subject: x", "/ \"\"", ""},
    {"ClosingDelimiterWithoutLineEnd",
     MIXED "--B\nContent-Transfer-Encoding: base64\n\nQUI=\n--B\nContent-Transfer-Encoding: quoted-printable\n\nx=20\n--B--",
     "multipart/mixed [/ \"AB\", / \"x \n\"]", ""},
    {"EncodedLastLinesWithoutLineEnd",
     MIXED "--B\nContent-Transfer-Encoding: base64\n\nQUI=\n--B\nContent-Transfer-Encoding: quoted-printable\n\nx=20",
     "multipart/mixed [/ \"AB\", / \"x \"]", "", false},
    {"DelimiterWithTrailingCharacters", MIXED "--B  \n\na\n--Bxyz\n\nb\n--B--trailing\n\nc\n",
     "multipart/mixed [/ \"a\n\", / \"b\n\"]", ""},
    {"CarriageReturnsInsideTheDelimiterAreDropped", MIXED "-\r-B\n\na\n--B-\r-\n", "multipart/mixed [/ \"a\n\"]", ""},
    {"BoundariesAreCaseSensitive", MIXED "--B\n\nx\n--b\n\ny\n--B--\n", "multipart/mixed [/ \"x\n--b\n\ny\n\"]", ""},
    {"NoBoundaryLineAtAll", MIXED "first\n\nsecond\n", "multipart/mixed []", "first\r\n\r\nsecond\r\n"},
    // The closing delimiter written for the longer boundary begins with the
    // shorter one.
    {"ShorterBoundaryIsAPrefixOfTheLonger",
     "Content-Type: multipart/mixed; boundary=ab\n\n--ab\nContent-Type: multipart/mixed; boundary=abc\n\n"
     "--abc\n\nx\n--abc--\n--ab--\n",
     "multipart/mixed [multipart/mixed [], / \"x\n\", / \"\"]", "", false},
    {"EmbeddedMessage",
     MIXED "--B\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
           "Subject: inner\nContent-Type: text/plain\n\ninner body\n--B--\n",
     "multipart/mixed [message/rfc822 {text/plain \"inner body\n\"}]", ""},
    // A child multipart without a boundary keeps its lines (up to the parent's
    // next boundary line) as its preamble.
    {"MultipartWithoutBoundaryInsideAParent",
     MIXED "--B\nContent-Type: multipart/mixed\nno colon\nContent-Type: text/plain\n\none\n--B\n\ntwo\n--B--\n",
     "multipart/mixed [multipart/mixed [], / \"two\n\"]", ""},
    {"ChildWithoutBoundaryBeforeTheLastDelimiter",
     MIXED "--B\nContent-Type: multipart/mixed\n\nContent-Type: text/plain\n\nbody\n--B--\n",
     "multipart/mixed [multipart/mixed []]", ""},
    // A sender that left out the empty line after a header block: the line
    // without a colon is the first line of the content.
    {"ChildContentRightUnderItsHeader",
     MIXED "--B\nContent-Transfer-Encoding: base64\nQUJD\n--B\nContent-Transfer-Encoding: quoted-printable\nx=20\n--B--\n",
     "multipart/mixed [/ \"ABC\", / \"x \n\"]", ""},
    {"LastContentTypeDecides", "Content-Type: text/plain\nContent-Type: image/png\n\nx\n", "image/png \"x\n\"", ""},
    {"RootMultipartWithoutBoundaryKeepsItsLinesAsPreamble", "Content-Type: multipart/mixed\n\n--B\n\nx\n",
     "multipart/mixed []", "--B\r\n\r\nx\r\n"},
    {"CarriageReturnsAfterTheLastLineEndMakeNoLine", "Content-Type: multipart/mixed\n\nx\n\r\r", "multipart/mixed []",
     "x\r\n"}};
#undef MIXED

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

// The tree is the same whatever the line ends and whatever the stream kind;
// what was parsed renders into text that parses into the same tree and
// renders into the same text again.
TEST_P(ParseTest, GivesTheTreeWhateverTheLineEnds) {
  const ParseCase& c = GetParam();
  const Ref<MessageEntity> lf = ParseMessage(c.text);
  EXPECT_EQ(Shape(*lf->root()), c.shape);
  EXPECT_EQ(Dump(*ParseMessage(std::regex_replace(c.text, std::regex("\r?\n"), "\r\n"))), Dump(*lf));
  const Ref<MessageEntity> from_bytes = MakeRef<MessageEntity>();
  testing::ChunkedStream bytes(c.text, 1, false);
  ReadMessage(bytes, *from_bytes);
  EXPECT_EQ(Dump(*from_bytes), Dump(*lf));
  if (const Ref<PartList> parts = lf->root()->parts()) EXPECT_EQ(parts->preamble(), c.preamble);
  if (!c.stable) return;
  const std::string rendered = Render(*lf);
  const Ref<MessageEntity> second = ParseMessage(rendered);
  EXPECT_EQ(Dump(*second), Dump(*lf));
  EXPECT_EQ(Render(*second), rendered);
}

INSTANTIATE_TEST_SUITE_P(MimeReader, ParseTest, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The text after a closing delimiter goes back where it was, at the top and
// inside a part, whatever the line ends it was read with.
TEST(MimeReader, EpiloguesAreWrittenBackAsRead) {
  const std::string text =
      "Content-Type: multipart/mixed; boundary=out\r\n\r\npre\r\n\r\n--out\r\n"
      "Content-Type: multipart/alternative; boundary=in\r\n\r\n\r\n--in\r\n\r\nx\r\n\r\n--in--\r\n"
      "inner epilogue\r\n\r\n--out--\r\nThat was a multi-part message.\r\n\r\n";
  EXPECT_EQ(Render(*ParseMessage(text)), text);
  std::string lf_only = text;
  std::erase(lf_only, '\r');
  EXPECT_EQ(Render(*ParseMessage(lf_only)), text);
  const Ref<MessageEntity> message = ParseMessage(text);
  EXPECT_EQ(message->root()->parts()->epilogue(), "That was a multi-part message.\r\n\r\n");
  EXPECT_EQ(message->root()->parts()->At(0)->parts()->epilogue(), "inner epilogue\r\n");
}

// What nobody changed is written as it was read: a delimiter line that comes
// right after a line end (or begins the body) gets no empty line before it, a
// field keeps its gap after the colon (none, a tab, or a name that is no
// name), and a digest's part keeps its type unsaid. A written form that the
// reader would read differently is not used: content that now ends in an
// empty line keeps an empty line of the delimiter's own.
TEST(MimeReader, UntouchedMessagesAreWrittenAsRead) {
  const std::string text =
      "From MAILER-DAEMON Fri Apr 06 16:46:09 2001\r\nSubject:tight\r\nX-Tab:\tvalue\r\n"
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "no empty line\r\n--b\r\nContent-Type: text/plain\r\n\r\n--b\r\n\r\n--b\r\n"
      "Content-Type: multipart/digest; boundary=d\r\n\r\nbefore\r\n--d\r\n\r\nSubject: in\r\n\r\nx\r\n\r\n--d--\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nlast\r\n--b--\r\n";
  const Ref<MessageEntity> message = ParseMessage(text);
  EXPECT_EQ(Render(*message), text);
  EXPECT_EQ(Shape(*message->root()), "multipart/mixed [text/plain \"no empty line\n\", text/plain \"\", / \"\", "
                                      "multipart/digest [message/rfc822 {/ \"x\n\"}], text/plain \"last\n\"]");
  // A changed field is written in the usual way.
  message->headers()->Set("Subject", "changed");
  EXPECT_NE(Render(*message).find("\r\nSubject: changed\r\n"), std::string::npos);

  const Ref<MessageEntity> changed = ParseMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n");
  const std::string content = "x\n\n";
  changed->root()->parts()->At(0)->content()->Assign(content.data(), content.size());
  const std::string written = Render(*changed);
  EXPECT_EQ(written, "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n\r\n\r\n--b--\r\n");
  EXPECT_EQ(Shape(*ParseMessage(written)->root()), "multipart/mixed [/ \"x\n\n\"]");
}

// Depth: every multipart opens a new boundary; none is a prefix of another.
TEST(MimeReaderLimits, DeepNestingBecomesLeafContentAtTheDepthLimit) {
  for (const int levels : {kMaxNestingDepth - 1, kMaxNestingDepth, kMaxNestingDepth + 1, 100000}) {
    SCOPED_TRACE(levels);
    std::string text;
    for (int i = 0; i < levels; ++i) {
      const std::string boundary = "b" + std::to_string(i) + "x";
      text += "Content-Type: multipart/mixed; boundary=" + boundary + "\r\n\r\n--" + boundary + "\r\n";
    }
    const Ref<MessageEntity> message = ParseMessage(text + "\r\ninnermost\r\n");
    Ref<MimePart> part = message->root();
    int depth = 1;
    for (; part->body_kind() == BodyKind::kMultipart && part->parts()->Count() > 0; ++depth) part = part->parts()->At(0);
    EXPECT_EQ(part->body_kind(), BodyKind::kLeaf);
    EXPECT_EQ(depth, std::min(levels, kMaxNestingDepth) + 1);
    const std::string_view content = part->content()->view();
    EXPECT_EQ(content.substr(content.size() - 10), "innermost\n");
    const std::string rendered = Render(*message);
    EXPECT_EQ(Render(*ParseMessage(rendered)), rendered);
  }
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "Content-Type: message/rfc822\r\n\r\n";
  Ref<MimePart> part = ParseMessage(text + "Subject: deepest\r\n\r\nbody\r\n")->root();
  int depth = 1;
  for (; part->body_kind() == BodyKind::kMessage; ++depth) part = part->message()->root();
  EXPECT_EQ(depth, kMaxNestingDepth + 1);
  EXPECT_NE(part->content()->view().find("Subject: deepest\n\nbody\n"), std::string::npos);
}

}  // namespace
}  // namespace vesk
