// Differential test of the reader against Python's standard email package.
// Both read the same corpus (messages generated here in many shapes, plus the
// hand-written samples under tests/data/messages); per part, in walk order,
// they must agree on the content type, the disposition, the file name and
// the decoded content. Where they differ by one of our reading rules, the
// difference is allowed only as that rule describes it, and counted.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/common/ascii.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/transfer_codec.h"
#include "support/mime_tree.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

std::string Fnv1a(std::string_view data) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : data) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001B3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiToLower(c);
  return out;
}

struct PartView {
  std::string type;
  std::string disposition;
  std::string filename;
  bool container = false;
  std::string content;
};

void Walk(MimePart& part, std::vector<PartView>& out) {
  PartView view;
  // RFC 2045 section 5.2: Python applies the default text/plain to a part
  // without a type; we keep the type empty (the main-text search scores it
  // on its own).
  view.type = part.type().empty() && part.subtype().empty() ? "text/plain"
                                                            : Lower(part.type()) + "/" + Lower(part.subtype());
  view.disposition = part.disposition().empty() ? "-" : Lower(part.disposition());
  std::string filename;
  if (!part.disposition_parameters()->Get("filename", filename) || filename.empty()) {
    if (!part.content_type_parameters()->Get("name", filename) || filename.empty()) filename = "-";
  }
  view.filename = filename;
  const BodyContent body = part.GetBody();
  view.container = !body.leaf;
  if (body.leaf) {
    std::string encoding;
    part.GetTransferEncoding(encoding);
    view.content = std::string(body.leaf->view());
    if (TransferEncodingFromValue(encoding) != TransferEncoding::kBase64) {
      std::erase(view.content, '\r');
    }
  }
  out.push_back(view);
  if (body.parts) {
    for (size_t i = 0; i < body.parts->Count(); ++i) Walk(*body.parts->At(i), out);
  }
  if (body.message) Walk(*body.message->root(), out);
}

// One generated message: random tree shapes, encodings, names and line ends.
class MessageGenerator {
 public:
  explicit MessageGenerator(unsigned seed) : rng_(seed), eol_(Chance(3) ? "\n" : "\r\n") {}

  std::string Message(int depth) {
    std::string text = "From: sender" + Number(1000) + "@example.com" + eol_ + "To: to@example.net" + eol_ +
                       "Subject: generated " + Number(100000) + eol_ + "MIME-Version: 1.0" + eol_;
    return text + Entity(depth, true);
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  bool Chance(int one_in) { return Pick(one_in) == 0; }
  std::string Number(int n) { return std::to_string(Pick(n)); }

  std::string Words(int lines) {
    static const char* const kWords[] = {"mail", "report", "Lorem", "ipsum", "From", "x=1", "a-b", "tab\there",
                                         "end.", "--dash", "caf\xE9", "na\xEFve", "trailing "};
    std::string text;
    for (int i = 0; i < lines; ++i) {
      const int words = Pick(12);
      for (int w = 0; w < words; ++w) text += std::string(w ? " " : "") + kWords[Pick(13)];
      text += '\n';
    }
    if (Chance(4)) text += std::string(Pick(200), 'y') + "\n";
    return text;
  }

  std::string Binary() {
    std::string bytes(static_cast<size_t>(Pick(600)), '\0');
    for (char& c : bytes) c = static_cast<char>(rng_());
    return bytes;
  }

  std::string WithEol(const std::string& lf_text) {
    std::string out;
    for (const char c : lf_text) {
      if (c == '\n') {
        out += eol_;
      } else {
        out += c;
      }
    }
    return out;
  }

  std::string Encoded(const std::string& content, const std::string& encoding) {
    std::string out;
    const auto* data = reinterpret_cast<const uint8_t*>(content.data());
    if (encoding == "base64") {
      EncodeBase64(data, content.size(), out);
    } else if (encoding == "quoted-printable") {
      EncodeQuotedPrintable(data, content.size(), out);
    } else {
      out = content;
    }
    std::string lf;
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
      lf += out[i];
    }
    return WithEol(lf);
  }

  std::string FileName() {
    switch (Pick(5)) {
      case 0: return "plain" + Number(100) + ".bin";
      case 1: return "\"with space " + Number(100) + ".pdf\"";
      case 2: return "\"semi; colon.txt\"";
      case 3: return "\"quote\\\"d.txt\"";
      default: return "\"back\\\\slash.dat\"";
    }
  }

  std::string ParameterSeparator() { return Chance(2) ? "; " : ";" + eol_ + "\t"; }

  // A part's header lines (without the empty line) and body.
  std::string Entity(int depth, bool is_root) {
    const int kind = depth > 0 ? Pick(10) : 10;
    if (kind < 3) return Multipart(depth);
    if (kind == 3 && depth > 0) {
      std::string text = "Content-Type: message/rfc822" + eol_;
      if (Chance(2)) text += "Content-Disposition: inline" + eol_;
      return text + eol_ + "From: inner@example.org" + eol_ + "Subject: inner" + eol_ + Entity(depth - 1, true);
    }
    return Leaf(is_root);
  }

  std::string Leaf(bool is_root) {
    static const char* const kTypes[] = {"text/plain", "text/html", "application/octet-stream", "image/png",
                                         "application/pdf", "TEXT/Plain"};
    const std::string type = kTypes[Pick(6)];
    const bool text_type = Lower(type).rfind("text/", 0) == 0;
    std::string encoding;
    std::string content;
    if (text_type) {
      static const char* const kTextEncodings[] = {"", "7bit", "8bit", "quoted-printable", "base64"};
      encoding = kTextEncodings[Pick(5)];
      content = Words(Pick(8));
      if (encoding == "quoted-printable" && Chance(3) && !content.empty()) content.pop_back();
    } else {
      encoding = "base64";
      content = Binary();
    }
    std::string text;
    if (!(is_root && Chance(5)) && !(Chance(8))) {
      text += "Content-Type: " + type;
      if (text_type) text += ParameterSeparator() + "charset=\"iso-8859-1\"";
      if (!text_type && Chance(2)) text += ParameterSeparator() + "name=" + FileName();
      text += eol_;
    }
    if (Chance(3)) {
      text += std::string("Content-Disposition: ") + (Chance(2) ? "attachment" : "inline");
      if (Chance(2)) text += ParameterSeparator() + "filename=" + FileName();
      text += eol_;
    }
    if (!encoding.empty()) text += "Content-Transfer-Encoding: " + encoding + eol_;
    return text + eol_ + Encoded(content, encoding);
  }

  std::string Multipart(int depth) {
    static const char* const kSubtypes[] = {"mixed", "alternative", "related"};
    char boundary[40];
    std::snprintf(boundary, sizeof boundary, "=_part_%04d_%06u", ++boundaries_, static_cast<unsigned>(rng_() % 1000000));
    const std::string delimiter = std::string("--") + boundary;
    std::string text = std::string("Content-Type: multipart/") + kSubtypes[Pick(3)] + ParameterSeparator() +
                       "boundary=" + (Chance(2) ? std::string("\"") + boundary + "\"" : std::string(boundary)) +
                       eol_ + eol_;
    if (Chance(2)) text += "This is a multi-part message in MIME format." + eol_;
    if (Chance(3)) text += eol_;
    const int children = 1 + Pick(4);
    for (int i = 0; i < children; ++i) {
      text += delimiter + eol_ + Entity(depth - 1, false);
      // Either the content's own line end stands right before the delimiter,
      // or an empty line does (as our renderer writes).
      if (Chance(2)) text += eol_;
    }
    text += delimiter + "--" + eol_;
    if (Chance(3)) text += "epilogue line" + eol_;
    return text;
  }

  std::mt19937 rng_;
  std::string eol_;
  int boundaries_ = 0;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The Python side: file name to its part lines (tab-separated fields).
std::map<std::string, std::vector<std::vector<std::string>>> RunPython(const std::vector<fs::path>& files) {
  const fs::path script = fs::path(VESK_TEST_DATA_DIR) / ".." / "engine" / "support" / "email_tree.py";
  std::string command = "python3 '" + script.string() + "'";
  for (const fs::path& file : files) command += " '" + file.string() + "'";
  command += " 2>&1";
  std::map<std::string, std::vector<std::vector<std::string>>> trees;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run: " << command;
    return trees;
  }
  std::string output;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << "python3 with the email package is required for this test; it said:\n" << output;
  std::istringstream lines(output);
  std::string line;
  std::vector<std::vector<std::string>>* current = nullptr;
  while (std::getline(lines, line)) {
    if (line.rfind("== ", 0) == 0) {
      current = &trees[line.substr(3)];
      continue;
    }
    if (!current) continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    current->push_back(fields);
  }
  return trees;
}

// A difference allowed by a rule of ours, for one hand-written sample part.
struct KnownDifference {
  const char* file;
  size_t part;
  const char* rule;
};

// malformed.eml: the last part's header block is not followed by an empty
// line; we drop the first line without a colon (it ends the header block),
// Python keeps it as the first body line. Our parts also follow our own walk
// there, so the check compares only the parts before it.
const KnownDifference kKnownDifferences[] = {
    {"malformed.eml", 5, "a header block ends at a line without a colon, which is consumed"},
};

TEST(PythonEmailDifferential, AgreesPerPartOnTypeDispositionNameAndContent) {
  const fs::path dir = fs::temp_directory_path() / ("vesk_email_diff_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<fs::path> files;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    MessageGenerator generator(seed);
    const fs::path path = dir / ("generated_" + std::to_string(seed) + ".eml");
    std::ofstream(path, std::ios::binary) << generator.Message(1 + static_cast<int>(seed % 4));
    files.push_back(path);
  }
  for (const auto& entry : fs::directory_iterator(fs::path(VESK_TEST_DATA_DIR) / "messages")) {
    files.push_back(entry.path());
  }
  const auto python = RunPython(files);
  ASSERT_EQ(python.size(), files.size()) << "python3 gave no tree for some files";

  size_t parts_compared = 0;
  size_t line_end_rule = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const std::string name = file.filename().string();
    const Ref<MessageEntity> message = testing::ParseMessage(ReadFile(file));
    std::vector<PartView> ours;
    Walk(*message->root(), ours);
    const auto& theirs = python.at(file.string());
    size_t limit = std::max(ours.size(), theirs.size());
    for (const KnownDifference& known : kKnownDifferences) {
      if (name == known.file) limit = known.part;
    }
    if (limit == std::max(ours.size(), theirs.size())) {
      ASSERT_EQ(ours.size(), theirs.size()) << testing::Dump(*message);
    }
    for (size_t i = 0; i < limit; ++i) {
      SCOPED_TRACE("part " + std::to_string(i));
      const std::vector<std::string>& py = theirs.at(i);
      ASSERT_EQ(py.size(), 7u);
      EXPECT_EQ(ours[i].type, py[0]);
      EXPECT_EQ(ours[i].disposition, py[1]);
      EXPECT_EQ(ours[i].filename, py[2]);
      if (ours[i].container) {
        EXPECT_EQ(py[3], "-");
        continue;
      }
      ++parts_compared;
      const std::string hash = Fnv1a(ours[i].content);
      const std::string size = std::to_string(ours[i].content.size());
      if (hash == py[4] && size == py[3]) continue;
      // Our reader keeps the line end before a delimiter line with the
      // content (the line model: each line ended by LF is content); Python
      // gives it to the delimiter (RFC 2046 section 5.1.1).
      if (hash == py[6] && size == py[5]) {
        ++line_end_rule;
        continue;
      }
      ADD_FAILURE() << "content differs: ours " << size << " bytes [" << ours[i].content << "], Python " << py[3]
                    << " bytes";
    }
  }
  std::cout << "[ INFO     ] " << files.size() << " messages, " << parts_compared << " leaf parts compared, "
            << line_end_rule << " differ only by the line end before a delimiter\n";
  EXPECT_GT(parts_compared, 500u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vesk
