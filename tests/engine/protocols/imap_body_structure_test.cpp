#include "engine/protocols/imap_body_structure.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

using ::testing::ElementsAre;

ImapResponse Response(std::string text) {
  ImapResponse response;
  response.text = std::move(text);
  return response;
}

// "{n}" closes the text so far; the literal's bytes go beside it.
void AppendLiteral(ImapResponse& response, const std::string& bytes) {
  response.text += "{" + std::to_string(bytes.size()) + "}";
  response.literals.push_back(bytes);
  response.literal_ends.push_back(response.text.size());
}

std::vector<ImapBodyPart> Read(const ImapResponse& response, bool expect_success = true) {
  std::vector<ImapBodyPart> parts;
  EXPECT_EQ(ReadBodyStructure(response, parts), expect_success) << response.text;
  return parts;
}

// Each part as "section|type|charset|encoding|size|disposition|file name".
std::vector<std::string> Summaries(const std::vector<ImapBodyPart>& parts) {
  std::vector<std::string> lines;
  for (const ImapBodyPart& p : parts) {
    lines.push_back(p.section + "|" + p.MediaType() + "|" + p.charset + "|" + p.encoding + "|" + std::to_string(p.size) +
                    "|" + p.disposition + "|" + p.file_name);
  }
  return lines;
}

// What Dovecot sends for a text with a PDF attached, inside a message that
// also carries HTML as an alternative.
TEST(ImapBodyStructure, NestedPartsGetTheirSpecifiersTypesSizesAndNames) {
  const auto parts = Read(Response(
      "* 3 FETCH (UID 41 BODYSTRUCTURE ((("
      "\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL \"quoted-printable\" 120 4 NIL NIL NIL NIL)("
      "\"text\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 300 9 NIL NIL NIL NIL) "
      "\"alternative\" (\"boundary\" \"b2\") NIL NIL NIL)("
      "\"application\" \"pdf\" (\"name\" \"report.pdf\") NIL NIL \"base64\" 5242880 NIL "
      "(\"attachment\" (\"filename\" \"Report 2026.pdf\")) NIL NIL) "
      "\"mixed\" (\"boundary\" \"b1\") NIL NIL NIL) FLAGS (\\Seen))"));
  EXPECT_THAT(Summaries(parts), ElementsAre("1.1|text/plain|utf-8|quoted-printable|120||",
                                            "1.2|text/html|utf-8|7bit|300||",
                                            // the disposition's name wins
                                            "2|application/pdf||base64|5242880|attachment|Report 2026.pdf"));
}

// A message that is not multipart has the one part 1; NIL stands for any
// field, even the encoding (read as 7bit) and the parameters.
TEST(ImapBodyStructure, ASinglePartMessageIsPartOneAndNilFieldsAreEmpty) {
  const auto parts = Read(Response("* 1 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" NIL NIL NIL NIL 12 1))"));
  EXPECT_THAT(Summaries(parts), ElementsAre("1|text/plain||7bit|12||"));
}

// Strings may come as literals (Cyrus sends a name with a quote in it that
// way); "{n}" counts only where the server announced a literal.
TEST(ImapBodyStructure, StringsMayBeLiterals) {
  ImapResponse response = Response("* 2 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1)(\"image\" \"png\" (\"name\" ");
  AppendLiteral(response, "a \"b\" {5}.png");
  response.text += ") NIL NIL \"base64\" 90 NIL NIL NIL NIL) \"mixed\"))";
  const auto parts = Read(response);
  EXPECT_THAT(Summaries(parts), ElementsAre("1|text/plain||7bit|3||", "2|image/png||base64|90||a \"b\" {5}.png"));
}

// File names in the forms senders use: RFC 2231 (with a charset, continued)
// and encoded-words; Latin-1 comes out as UTF-8.
TEST(ImapBodyStructure, FileNamesAreDecoded) {
  const auto parts = Read(Response(
      "* 4 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1 NIL NIL NIL NIL)"
      "(\"application\" \"pdf\" NIL NIL NIL \"base64\" 10 NIL (\"attachment\" (\"filename*\" \"utf-8''%C3%BCber.pdf\")) NIL NIL)"
      "(\"application\" \"pdf\" NIL NIL NIL \"base64\" 10 NIL (\"attachment\" (\"filename*0*\" \"iso-8859-1''caf%E9\" \"filename*1\" \".txt\")) NIL NIL)"
      "(\"application\" \"pdf\" (\"name\" \"=?utf-8?B?w6ljb2xlLnBkZg==?=\") NIL NIL \"base64\" 10 NIL NIL NIL NIL) \"mixed\"))"));
  std::vector<std::string> names;
  for (const ImapBodyPart& part : parts) names.push_back(part.file_name);
  EXPECT_THAT(names, ElementsAre("", "\xC3\xBC" "ber.pdf", "caf\xC3\xA9.txt", "\xC3\xA9" "cole.pdf"));
}

// An attached message is one part (its envelope and body are passed over),
// and the parts after it keep their numbers.
TEST(ImapBodyStructure, AnAttachedMessageIsOnePart) {
  const auto parts = Read(Response(
      "* 5 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1)"
      "(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 500 (\"date\" \"subj\" ((NIL NIL \"a\" \"b\")) NIL NIL NIL NIL NIL NIL \"<id>\") "
      "((\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)(\"text\" \"html\" NIL NIL NIL \"7bit\" 1 1) \"alternative\") 20 NIL "
      "(\"attachment\" (\"filename\" \"fw.eml\")) NIL NIL)"
      "(\"text\" \"csv\" NIL NIL NIL \"8bit\" 7 1) \"mixed\"))"));
  EXPECT_THAT(Summaries(parts), ElementsAre("1|text/plain||7bit|3||", "2|message/rfc822||7bit|500|attachment|fw.eml",
                                            "3|text/csv||8bit|7||"));
}

// Deep nesting is passed over without recursion past the limit; broken
// responses fail without listing parts they do not describe.
TEST(ImapBodyStructure, DeepNestingAndBrokenResponsesAreSafe) {
  std::string deep = "* 1 FETCH (BODYSTRUCTURE ";
  for (int i = 0; i < 100000; ++i) deep += "(";
  deep += "\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1";
  for (int i = 0; i < 100000; ++i) deep += ") \"mixed\"";
  deep += ")";
  std::vector<ImapBodyPart> parts;
  ReadBodyStructure(Response(deep), parts);
  EXPECT_TRUE(parts.empty());

  Read(Response("* 1 FETCH (FLAGS (\\Seen))"), false);
  Read(Response("* OK [UIDNEXT 4]"), false);
  const auto cut = Read(Response("* 1 FETCH (BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)(\"text\""), false);
  EXPECT_THAT(Summaries(cut), ElementsAre("1|text/plain||7bit|1||"));
}

TEST(ImapBodyStructure, PartSpecifiersAreNumbersJoinedByPeriods) {
  for (const char* good : {"1", "2.1", "10.2.33"}) EXPECT_TRUE(IsPartSection(good)) << good;
  for (const char* bad : {"", "0x1", "1.", ".1", "1..2", "TEXT", "1.MIME", "1 2", "1]"}) {
    EXPECT_FALSE(IsPartSection(bad)) << bad;
  }
}

}  // namespace
}  // namespace vesk
