#include "engine/protocols/imap_body_structure.h"

#include <algorithm>
#include <charconv>

#include "engine/common/ascii.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/field_list.h"

namespace vesk {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiToLower(c);
  return lower;
}

// The tokens of one response, left to right: parentheses, atoms (NIL among
// them), and strings, quoted or literal. A literal counts only where the
// server announced one, that is where its "{n}" closed a line (see
// ImapResponse).
class Tokens {
 public:
  enum class Kind { kOpen, kClose, kAtom, kNil, kString, kEnd };

  explicit Tokens(const ImapResponse& response) : response_(response), text_(response.text) {}

  std::size_t position() const { return position_; }
  void Seek(std::size_t position) { position_ = std::min(position, text_.size()); }

  Kind Peek() {
    const std::size_t saved = position_;
    std::string ignored;
    const Kind kind = Next(ignored);
    position_ = saved;
    return kind;
  }

  Kind Next(std::string& value) {
    value.clear();
    while (position_ < text_.size() && IsSpaceOrTab(text_[position_])) ++position_;
    if (position_ >= text_.size()) return Kind::kEnd;
    const char c = text_[position_];
    if (c == '(') {
      ++position_;
      return Kind::kOpen;
    }
    if (c == ')') {
      ++position_;
      return Kind::kClose;
    }
    if (c == '"') return ReadQuoted(value);
    if (c == '{' && response_.TakeLiteral(position_, value)) return Kind::kString;
    const std::size_t start = position_;
    while (position_ < text_.size() && !IsSpaceOrTab(text_[position_]) && text_[position_] != '(' &&
           text_[position_] != ')') {
      // "BODY[HEADER.FIELDS (A B)]" is one atom: brackets are taken whole.
      if (text_[position_] == '[') {
        const std::size_t close = text_.find(']', position_);
        position_ = close == std::string_view::npos ? text_.size() : close + 1;
        continue;
      }
      ++position_;
    }
    value.assign(text_.substr(start, position_ - start));
    return EqualsIgnoringAsciiCase(value, "NIL") ? Kind::kNil : Kind::kAtom;
  }

  // Passes over one value; a list is passed over whole, counting its
  // parentheses, without recursion. False at the end of the text.
  bool SkipValue() {
    std::string ignored;
    int depth = 0;
    do {
      switch (Next(ignored)) {
        case Kind::kOpen: ++depth; break;
        case Kind::kClose:
          if (depth == 0) return false;  // no value here: the list ends
          --depth;
          break;
        case Kind::kEnd: return false;
        default: break;
      }
    } while (depth > 0);
    return true;
  }

  // Passes over the rest of a list whose "(" was read, its ")" included.
  bool SkipRestOfList() {
    while (Peek() != Kind::kClose) {
      if (!SkipValue()) return false;
    }
    std::string ignored;
    Next(ignored);
    return true;
  }

 private:
  Kind ReadQuoted(std::string& value) {
    ++position_;
    while (position_ < text_.size()) {
      char c = text_[position_++];
      if (c == '"') return Kind::kString;
      if (c == '\\' && position_ < text_.size()) c = text_[position_++];
      value.push_back(c);
    }
    return Kind::kString;  // unterminated: what there is
  }


  const ImapResponse& response_;
  std::string_view text_;
  std::size_t position_ = 0;
};

using Kind = Tokens::Kind;

// A string or NIL (which reads as empty); false for anything else.
bool ReadNString(Tokens& tokens, std::string& value) {
  const Kind kind = tokens.Next(value);
  if (kind == Kind::kNil) value.clear();
  return kind == Kind::kString || kind == Kind::kNil || kind == Kind::kAtom;
}

// ("name" "value" ...) or NIL, as the parameter list of a MIME header.
bool ReadParameters(Tokens& tokens, FieldList& parameters) {
  std::string value;
  const Kind kind = tokens.Next(value);
  if (kind == Kind::kNil) return true;
  if (kind != Kind::kOpen) return false;
  for (;;) {
    std::string name;
    const Kind name_kind = tokens.Next(name);
    if (name_kind == Kind::kClose) return true;
    if (name_kind == Kind::kOpen || name_kind == Kind::kEnd) return false;
    if (!ReadNString(tokens, value)) return false;
    parameters.Add(Lower(name), value);
  }
}

// ISO-8859-1 bytes as UTF-8.
std::string Latin1ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

std::string InUtf8(std::string_view bytes, std::string_view charset) {
  if (charset == "iso-8859-1" || charset == "latin1") return Latin1ToUtf8(bytes);
  return std::string(bytes);
}

// A parameter's value decoded: the RFC 2231 forms, then encoded-words, which
// many senders put in file names although RFC 2047 section 5 does not allow
// them there.
bool DecodedParameter(FieldList& parameters, std::string_view name, std::string& value) {
  std::string charset;
  if (!GetParameter(parameters, name, value, &charset)) return false;
  if (!charset.empty()) {
    value = InUtf8(value, charset);
    return true;
  }
  std::string decoded;
  for (const HeaderTextRun& run : DecodeEncodedWords(value)) decoded += InUtf8(run.bytes, run.charset);
  value = std::move(decoded);
  return true;
}

std::string Section(std::string_view parent, int index) {
  std::string section(parent);
  if (!section.empty()) section.push_back('.');
  section += std::to_string(index);
  return section;
}

class StructureReader {
 public:
  StructureReader(Tokens& tokens, std::vector<ImapBodyPart>& parts) : tokens_(tokens), parts_(parts) {}

  // One body whose "(" has been read, its ")" included.
  bool ReadBody(const std::string& section, int depth) {
    if (depth > kMaxBodyStructureDepth) return tokens_.SkipRestOfList();
    if (tokens_.Peek() == Kind::kOpen) return ReadMultipart(section, depth);
    return ReadSinglePart(section.empty() ? std::string("1") : section);
  }

 private:
  // (body)(body)... subtype [extension data]: the children are numbered
  // from 1 under the multipart's own specifier.
  bool ReadMultipart(const std::string& section, int depth) {
    std::string value;
    for (int index = 1; tokens_.Peek() == Kind::kOpen; ++index) {
      tokens_.Next(value);
      if (!ReadBody(Section(section, index), depth + 1)) return false;
    }
    return tokens_.SkipRestOfList();  // the subtype and extension data
  }

  // type subtype (parameters) id description encoding size, then per type
  // the line count (text) or envelope, body and line count (message/rfc822),
  // then the extension data: MD5, (disposition (parameters)), language,
  // location.
  bool ReadSinglePart(const std::string& section) {
    ImapBodyPart part;
    part.section = section;
    std::string value;
    if (!ReadNString(tokens_, value)) return false;
    part.type = Lower(value);
    if (!ReadNString(tokens_, value)) return false;
    part.subtype = Lower(value);
    const Ref<FieldList> parameters = MakeRef<FieldList>();
    if (!ReadParameters(tokens_, *parameters)) return false;
    std::string ignored;
    if (!ReadNString(tokens_, ignored) || !ReadNString(tokens_, ignored)) return false;  // id, description
    if (!ReadNString(tokens_, value)) return false;
    part.encoding = value.empty() ? std::string("7bit") : Lower(value);
    if (tokens_.Next(value) == Kind::kAtom) {
      std::uint64_t size = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
      if (error == std::errc() && end == value.data() + value.size()) part.size = size;
    }
    std::string charset;
    if (parameters->Get("charset", charset)) part.charset = Lower(charset);
    std::string name;
    if (DecodedParameter(*parameters, "name", name)) part.file_name = name;

    // The fields that follow differ by type; whatever they hold, the
    // disposition is the second value after them. A server that sends
    // fewer values simply ends the list.
    int fixed = 0;
    if (part.type == "text") fixed = 1;
    if (part.type == "message" && part.subtype == "rfc822") fixed = 3;
    for (int i = 0; i < fixed && tokens_.Peek() != Kind::kClose; ++i) {
      if (!tokens_.SkipValue()) return false;
    }
    if (tokens_.Peek() != Kind::kClose && !tokens_.SkipValue()) return false;  // MD5
    if (tokens_.Peek() == Kind::kOpen) {
      tokens_.Next(value);
      if (ReadNString(tokens_, value)) part.disposition = Lower(value);
      const Ref<FieldList> disposition = MakeRef<FieldList>();
      if (tokens_.Peek() == Kind::kOpen || tokens_.Peek() == Kind::kNil) {
        if (!ReadParameters(tokens_, *disposition)) return false;
        if (DecodedParameter(*disposition, "filename", name)) part.file_name = name;
      }
      if (!tokens_.SkipRestOfList()) return false;
    }
    parts_.push_back(std::move(part));
    return tokens_.SkipRestOfList();
  }

  Tokens& tokens_;
  std::vector<ImapBodyPart>& parts_;
};

}  // namespace

bool ReadBodyStructure(const ImapResponse& response, std::vector<ImapBodyPart>& parts) {
  parts.clear();
  Tokens tokens(response);
  std::string value;
  // "* n FETCH (" and then name value pairs.
  if (tokens.Next(value) != Kind::kAtom || value != "*") return false;
  if (tokens.Next(value) != Kind::kAtom) return false;
  if (tokens.Next(value) != Kind::kAtom || !EqualsIgnoringAsciiCase(value, "FETCH")) return false;
  if (tokens.Next(value) != Kind::kOpen) return false;
  for (;;) {
    const Kind kind = tokens.Next(value);
    if (kind != Kind::kAtom) return false;
    // BODY without a section answers like BODYSTRUCTURE without extension
    // data (RFC 3501 section 7.4.2).
    const bool structure = EqualsIgnoringAsciiCase(value, "BODYSTRUCTURE") || EqualsIgnoringAsciiCase(value, "BODY");
    if (structure && tokens.Peek() == Kind::kOpen) {
      tokens.Next(value);
      StructureReader reader(tokens, parts);
      return reader.ReadBody(std::string(), 1);
    }
    if (!tokens.SkipValue()) return false;
  }
}

bool IsPartSection(std::string_view section) {
  if (section.empty()) return false;
  bool digit_before = false;
  for (const char c : section) {
    if (c >= '0' && c <= '9') {
      digit_before = true;
    } else if (c == '.' && digit_before) {
      digit_before = false;
    } else {
      return false;
    }
  }
  return digit_before;
}

}  // namespace vesk
