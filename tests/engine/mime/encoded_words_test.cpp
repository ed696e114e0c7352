// Header values with bytes outside ASCII go on the wire as encoded-words.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/mime/encoded_words.h"

namespace vesk {
namespace {

TEST(EncodedWords, OnlyWhatNeedsItIsEncoded) {
  const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
      {{"Subject", "plain ASCII stays\n\tfolded as it was"}, "plain ASCII stays\n\tfolded as it was"},
      {{"Subject", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"}, "=?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="},
      {{"Subject", "Re: Gr\xC3\xBC\xC3\x9F" "e, Anna!"}, "Re: =?utf-8?B?R3LDvMOfZSw=?= Anna!"},
      {{"Subject", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}, "=?utf-8?B?5pel5pys6Kqe?="},
      {{"Subject", "Privatsph\xC3\xA4re"}, "=?utf-8?Q?Privatsph=C3=A4re?="},  // Q is shorter here
      {{"From", "\"J\xC3\xB6rg, Sr.\" <j@example.com>, bob@example.com"},
       "=?utf-8?B?SsO2cmcsIFNyLg==?= <j@example.com>,\r\n bob@example.com"},
      {{"To", "J\xC3\xB6rg <j\xC3\xB6@example.com>"}, "J\xC3\xB6rg <j\xC3\xB6@example.com>"},  // cannot encode
      {{"X-Note", "a=?b?= \xC3\xA9"}, "a=?b?= =?utf-8?B?w6k=?="},
  };
  for (const auto& [field, wire] : cases) EXPECT_EQ(WireHeaderValue(field.first, field.second), wire) << field.second;
}

TEST(EncodedWords, LongValuesFoldWithinTheLineLimitAndKeepCharactersWhole) {
  std::string subject;
  for (int i = 0; i < 40; ++i) subject += "\xC3\xA9t\xC3\xA9 ";  // "été "
  const std::string wire = WireHeaderValue("Subject", subject);
  std::istringstream lines("Subject: " + wire);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_LE(line.size(), 78u) << line;
    ++count;
  }
  EXPECT_GT(count, 3);
}


std::string Runs(std::string_view text) {
  std::string out;
  for (const HeaderTextRun& run : DecodeEncodedWords(text)) out += "[" + run.charset + ":" + run.bytes + "]";
  return out;
}

TEST(EncodedWords, ReadBackIntoRunsOfCharsetAndBytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "[:plain]"},
      {"=?ISO-8859-1?Q?Gr=FC=DFe_aus?= K=F6ln", "[iso-8859-1:Gr\xFC\xDF" "e aus][: K=F6ln]"},
      {"=?utf-8?B?R3LDvMOfZQ==?=\r\n =?utf-8?Q?_aus?=", "[utf-8:Gr\xC3\xBC\xC3\x9F" "e aus]"},  // joined
      {"a =?utf-8*en?b?w6k?= b", "[:a ][utf-8:\xC3\xA9][: b]"},  // a language, no padding
      {"=?utf-8?Q?a?= x =?utf-8?Q?b?=", "[utf-8:a][: x ][utf-8:b]"},
      {"=?utf-8?X?abc?= =?utf-8?Q?has space?= =??Q?a?=", "[:=?utf-8?X?abc?= =?utf-8?Q?has space?= =??Q?a?=]"},
  };
  for (const auto& [text, runs] : cases) EXPECT_EQ(Runs(text), runs) << text;
  // What the writer makes reads back as the text it was given.
  const std::string subject = "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC " + std::string(60, 'x') + " \xC3\xA9";
  std::string back;
  for (const HeaderTextRun& run : DecodeEncodedWords(WireHeaderValue("Subject", subject))) back += run.bytes;
  EXPECT_EQ(back, subject);
}

}  // namespace
}  // namespace vesk
