#include "support/transcript.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "engine/platform/sockets.h"

namespace vesk::testing {
namespace {

struct SourceLine {
  std::string file, text;
  int line;
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

// The first word of `text` and the rest after its blank.
std::pair<std::string, std::string> Split(const std::string& text) {
  const auto blank = text.find(' ');
  return blank == std::string::npos ? std::pair{text, std::string()}
                                    : std::pair{text.substr(0, blank), text.substr(blank + 1)};
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - at);
    unsigned group = 0;
    for (std::size_t i = 0; i < 3; ++i) group = group << 8 | (i < n ? static_cast<unsigned char>(bytes[at + i]) : 0u);
    for (std::size_t i = 0; i < 4; ++i) out += i <= n ? kDigits[(group >> (18 - 6 * i)) & 63] : '=';
  }
  return out;
}

std::string LocalName() {
  char name[80] = "";
  sockets::LocalHostName(name, sizeof name);
  return name;
}

// A case as the lines of its file are read into it.
class CaseBuilder {
 public:
  explicit CaseBuilder(Transcript& t) : t_(t) {}

  // "% " opening a client line, %N, % elsewhere and %% (see the header).
  std::string Tags(const std::string& text, bool client_line) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (text[at] != '%') {
        out += text[at];
      } else if (at + 1 < text.size() && text[at + 1] == '%') {
        out += '%', ++at;
      } else if (at + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
        out += "{t}";
      } else {
        out += "{t}" + std::to_string(at == 0 && client_line ? next_tag_++ : next_tag_ - 1);
      }
    }
    return out;
  }

  void Add(const SourceLine& source) {
    const std::string& line = source.text;
    const auto [head, rest] = Split(line);
    if (head == ">" || head == ":" || head == "?") {
      std::string calls = (head == ">" ? "" : head) + rest + " ; ";
      for (std::size_t at; (at = calls.find(" ; ")) != std::string::npos; calls.erase(0, at + 3)) {
        const std::string call = Trim(calls.substr(0, at));
        const char mark = call.empty() ? ' ' : call[0];
        const auto [verb, argument] = Split(std::string_view(":?!").find(mark) != std::string_view::npos ? call.substr(1) : call);
        const auto kind = mark == '?' ? CaseAction::kCheck : mark == ':' ? CaseAction::kSetting : CaseAction::kCall;
        t_.actions.push_back({kind, verb, kind == CaseAction::kCheck ? Tags(Unescape(argument), false) : argument,
                              mark == '!', source.line});
      }
    } else if (head == "<") {
      Reply(rest);
    } else if (head == "~close") {
      t_.script.push_back({ScriptStep::kClose});
    } else if (head == "~tls") {
      t_.script.push_back({ScriptStep::kTls, rest});
    } else if (head.starts_with('~') && head.size() > 1 && std::all_of(head.begin() + 1, head.end(), ::isdigit)) {
      t_.script.push_back({ScriptStep::kPause, {}, std::stoi(head.substr(1))});
    } else if (line == "|" || line.starts_with("| ") || line.find(" |") != std::string::npos) {
      std::size_t bar = line == "|" || line.starts_with("| ") ? 0 : line.find(" | ");
      if (bar == std::string::npos) bar = line.ends_with(" |") ? line.size() - 2 : std::string::npos;
      if (bar == std::string::npos) throw std::runtime_error("no \" | \" between the client's lines and the reply");
      const std::string sent = Unescape(line.substr(0, bar));
      std::size_t at = 0;
      for (std::size_t end; (end = sent.find("\r\n", at)) != std::string::npos; at = end + 2) Expect(sent.substr(at, end - at));
      Expect(sent.substr(at));
      Reply(bar + 2 < line.size() ? line.substr(bar + (line[bar] == '|' ? 2 : 3)) : "");
    } else {
      throw std::runtime_error("not a transcript line: " + line);
    }
  }

 private:
  void Expect(const std::string& line) {
    t_.client_lines.push_back(Tags(line, true));
    t_.script.push_back({ScriptStep::kExpect, t_.client_lines.back()});
  }
  void Reply(std::string reply) {
    if (reply.empty()) return;
    const bool open = reply.ends_with("\\c");
    if (open) reply.resize(reply.size() - 2);
    t_.script.push_back({ScriptStep::kSend, Tags(Unescape(reply), false) + (open ? "" : "\r\n")});
  }
  Transcript& t_;
  int next_tag_ = 0;
};

struct Library {
  std::map<std::string, std::vector<SourceLine>> macros;
  std::map<std::string, std::string> each;  // file: macro
  std::vector<std::vector<SourceLine>> files;
  std::vector<Transcript> failures;
};

Transcript Failure(const std::string& file, int line, const std::string& problem) {
  Transcript t;
  t.file = file, t.line = line, t.name = "Unreadable", t.problem = problem;
  return t;
}

// Macro uses replaced by their lines, $N and $N* by the words given.
void Expand(const Library& library, const SourceLine& use, std::vector<SourceLine>& out, int depth = 0) {
  if (!use.text.starts_with('@')) return out.push_back(use);
  const auto [name, argument] = Split(use.text.substr(1));
  const auto macro = library.macros.find(name);
  if (macro == library.macros.end() || depth > 8) throw std::runtime_error("unknown macro @" + name);
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < argument.size(); ++at) {
    if (argument[at] != ' ' && (at == 0 || argument[at - 1] == ' ')) starts.push_back(at);
  }
  for (const SourceLine& line : macro->second) {
    std::string text;
    for (std::size_t at = 0; at < line.text.size(); ++at) {
      const char c = line.text[at], d = at + 1 < line.text.size() ? line.text[at + 1] : 0;
      if (c != '$' || d < '1' || d > '9') {
        text += c;
        continue;
      }
      const std::size_t n = d - '1';
      const bool rest = at + 2 < line.text.size() && line.text[at + 2] == '*';
      if (n < starts.size()) {
        text += rest ? argument.substr(starts[n]) : argument.substr(starts[n], argument.find(' ', starts[n]) - starts[n]);
      }
      at += rest ? 2 : 1;
    }
    Expand(library, {use.file, text, use.line}, out, depth + 1);
  }
}

Library Read(const std::string& folder) {
  Library library;
  std::vector<std::filesystem::path> paths;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".txt") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) library.failures.push_back(Failure(folder, 0, "no transcript files in " + folder));
  for (const auto& path : paths) {
    std::ifstream in(path);
    std::vector<SourceLine> body;
    std::string name = path.filename().string(), text, defining;
    int number = 0, defined = 0;
    for (; std::getline(in, text); ++number) {
      if (text.ends_with('\r')) text.pop_back();
      const SourceLine line{name, text, number + 1};
      if (text.starts_with("@def ")) {
        defining = Trim(text.substr(5)), ++defined;
        if (library.macros.count(defining)) library.failures.push_back(Failure(name, number + 1, "@" + defining + " defined twice"));
        library.macros[defining];
      } else if (text == "@end") {
        defining.clear();
      } else if (!defining.empty()) {
        library.macros[defining].push_back(line);
      } else if (text.starts_with("@each ")) {
        library.each[name] = Trim(text.substr(6));
      } else if (!Trim(text).empty() && !text.starts_with('#')) {
        body.push_back(line);
      }
    }
    if (!defining.empty()) library.failures.push_back(Failure(name, number, "@def " + defining + " has no @end"));
    if (body.empty() && defined == 0) library.failures.push_back(Failure(name, number, "no cases in " + name));
    library.files.push_back(std::move(body));
  }
  return library;
}

}  // namespace

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\\' || at + 1 == text.size()) {
      out += text[at];
      continue;
    }
    switch (const char c = text[++at]) {
      case 'n': out += "\r\n"; break;
      case 'r': out += '\r'; break;
      case 'l': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'H': out += LocalName(); break;
      case 'x': out += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16)), at += 2; break;
      case '*': {
        std::size_t digits = 0;
        const int count = std::stoi(text.substr(at + 1), &digits);
        out.append(count, text.at(at + 1 + digits)), at += digits + 1;
        break;
      }
      case 'b': {
        const std::size_t end = text.find('}', at);
        if (text[at + 1] != '{' || end == std::string::npos) throw std::runtime_error("\\b without {text}");
        out += Base64(Unescape(text.substr(at + 2, end - at - 2))), at = end;
        break;
      }
      default: out += c;  // \\ and anything else: the character itself
    }
  }
  return out;
}

std::vector<std::string> Words(const std::string& argument) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < argument.size();) {
    if (argument[at] == ' ') {
      ++at;
    } else if (argument[at] == '"') {
      const std::size_t end = argument.find('"', at + 1);
      words.push_back(Unescape(argument.substr(at + 1, end - at - 1)));
      at = end == std::string::npos ? argument.size() : end + 1;
    } else {
      const std::size_t end = std::min(argument.find(' ', at), argument.size());
      words.push_back(Unescape(argument.substr(at, end - at)));
      at = end;
    }
  }
  return words;
}

std::string Resolve(std::string text, const std::string& prefix) {
  for (std::size_t at; (at = text.find("{t}")) != std::string::npos;) text.replace(at, 3, prefix);
  for (std::size_t at; (at = text.find("{{")) != std::string::npos;) {
    const std::size_t end = text.find("}}", at);
    const std::string literal = text.substr(at + 2, end - at - 2);
    text.replace(at, end + 2 - at, "{" + std::to_string(literal.size()) + "}\r\n" + literal);
  }
  return text;
}

std::vector<Transcript> LoadTranscripts(const std::string& folder) {
  Library library = Read(folder);
  std::vector<Transcript> cases = library.failures;
  for (const auto& body : library.files) {
    std::size_t first = cases.size();
    std::unique_ptr<CaseBuilder> builder;
    for (const SourceLine& source : body) {
      try {
        if (source.text.starts_with("== ")) {
          const auto [name, rest] = Split(Trim(source.text.substr(3)));
          const auto [protocol, expected] = Split(rest);
          Transcript t;
          t.file = source.file, t.line = source.line, t.name = name, t.protocol = protocol.empty() ? '?' : protocol[0];
          if (protocol.size() != 1 || std::string_view("SPIM").find(t.protocol) == std::string_view::npos) throw std::runtime_error("no protocol S, P, I or M");
          std::string state_part = expected;
          if (expected == "!" || expected.starts_with("! ")) {
            const std::size_t eq = expected.find(" =");
            t.error = Trim(expected.substr(1, eq == std::string::npos ? std::string::npos : eq - 1));
            t.check_error = t.error != "*", t.has_error = true;
            state_part = eq == std::string::npos ? "" : expected.substr(eq + 1);
          }
          if (state_part == "=" || state_part.starts_with("= ")) {
            t.state = state_part.size() > 2 ? state_part.substr(2) : "", t.has_state = true;
          } else if (!Trim(state_part).empty()) {
            throw std::runtime_error("after the protocol only \"! error\" and \"= state\" may follow");
          }
          cases.push_back(std::move(t));
          builder = std::make_unique<CaseBuilder>(cases.back());
          cases.back().error = builder->Tags(Unescape(cases.back().error), false);
          cases.back().state = builder->Tags(Unescape(cases.back().state), false);
          if (library.each.count(source.file)) {
            std::vector<SourceLine> lines;
            Expand(library, {source.file, "@" + library.each[source.file], source.line}, lines);
            for (const SourceLine& line : lines) builder->Add(line);
          }
          continue;
        }
        if (!builder) throw std::runtime_error("a line before the first case");
        std::vector<SourceLine> lines;
        Expand(library, source, lines);
        for (const SourceLine& line : lines) builder->Add(line);
      } catch (const std::exception& e) {
        cases.push_back(Failure(source.file, source.line, e.what()));
        builder.reset();
      }
    }
    if (first == cases.size() && !body.empty()) cases.push_back(Failure(body[0].file, 1, "no cases"));
  }
  return cases;
}

std::vector<ScriptStep> OpeningOf(const std::string& folder, const std::string& macro, std::vector<std::string>* lines) {
  Library library = Read(folder);
  Transcript t;
  CaseBuilder builder(t);
  std::vector<SourceLine> expanded;
  Expand(library, {"", "@" + macro, 0}, expanded);
  for (const SourceLine& line : expanded) builder.Add(line);
  if (lines) *lines = t.client_lines;
  return t.script;
}

}  // namespace vesk::testing
