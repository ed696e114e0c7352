// The player of the dialogue transcripts: plain text files (transcripts/*.txt)
// that say what a scripted server sends and expects and what the caller does
// and must see, one test per case. A case fails where a call comes to another
// result than marked, a check reads otherwise, the client sends other lines
// than the script's, or its file cannot be read. A file holds cases and the
// openings they share:
//
//   # a comment
//   @def NAME ... @end   lines that "@NAME words" stands for; $1 to $9 are
//                        the words after the name, $N* the words from N on
//   @def NAME steps      the same for one line of steps
//   @each NAME           every case of the file begins with @NAME
//   == Case P [> calls] [! error] [= state]   a case of protocol S (SMTP),
//                        P (POP3), I (IMAP4), M (mailbox probe) or C (the
//                        socket connection alone, its error a number), its first
//                        calls, and what the last error and the protocol's
//                        state summary must read at its end ("!" or "=" left
//                        out: the client's first error text and state; "! *":
//                        not checked)
//   > call ; !call ; :name value ; ?field value
//                        in order: calls (one marked "!" must fail, the
//                        others must succeed), settings of the client, and
//                        what the caller sees now (took< N, took>= N: the
//                        milliseconds of the call before; no call of a C case
//                        may spin while it waits); ": name value"
//                        and "? field value" are lines of one of them
//   client | reply       the server waits for the client's line(s), then
//                        sends the reply (nothing after "|": sends nothing)
//   < reply              the server sends the reply unasked
//   ~N  ~close  ~reset  ~tls NAME   a pause, an orderly or abortive close, a TLS handshake
//   ~stall N             N milliseconds without reading, the receive buffer made small
//   step || step         several of these steps (or macros) on one line
//
// Text escapes: \n a line end as the wire has it (CR LF), \r CR, \l LF, \t,
// \0, \\, \xHH, \*Nc the character c N times, \H the local host name,
// \b{text} text in base64, and \c at the end of a reply: no line end after
// it (every reply gets one otherwise). IMAP4 tags: "% " opening a client
// line is the next tag (0 first), %N tag N, % elsewhere the latest tag, %%
// a percent sign. {{text}} in a reply is a literal: {size} CR LF and text.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <ctime>

#include "engine/net/socket_connection.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/dot_terminated_block.h"
#include "engine/protocols/mailbox_probe.h"
#include "support/fake_server.h"
#include "support/test_streams.h"

namespace vesk::testing {
namespace {

struct ScriptStep {
  enum Kind { kExpect, kSend, kPause, kStall, kClose, kReset, kTls } kind;
  std::string text;  // with "{t}" for the tag prefix and {{literals}}
  int milliseconds = 0;
};

struct CaseAction {
  enum Kind { kCall, kSetting, kCheck } kind;
  std::string verb, argument;  // the argument still quoted (see Words)
  bool must_fail = false;
  int line = 0;
};

struct Transcript {
  std::string file, name;
  int line = 0;
  char protocol = 'S';
  std::vector<ScriptStep> script;
  std::vector<std::string> client_lines;  // what the client must have sent, in order
  std::vector<CaseAction> actions;
  bool check_error = true, has_error = false, has_state = false;
  std::string error, state;
  std::string problem;  // a parse error: the case fails with it
};

void PrintTo(const Transcript& t, std::ostream* out) { *out << t.file << ":" << t.line << " " << t.name; }

struct SourceLine { std::string file, text; int line; };

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
    } else if (head == "~close" || head == "~reset") {
      t_.script.push_back({head == "~close" ? ScriptStep::kClose : ScriptStep::kReset});
    } else if (head == "~stall") {
      t_.script.push_back({ScriptStep::kStall, {}, std::stoi(rest)});
    } else if (head == "~tls") {
      t_.script.push_back({ScriptStep::kTls, rest});
    } else if (head.starts_with('~') && head.size() > 1 && std::all_of(head.begin() + 1, head.end(), ::isdigit)) {
      t_.script.push_back({ScriptStep::kPause, {}, std::stoi(head.substr(1))});
    } else if (const std::size_t bar = (" " + line + " ").find(" | "); bar != std::string::npos) {
      const std::string sent = Unescape(line.substr(0, bar == 0 ? 0 : bar - 1));
      std::size_t at = 0;
      for (std::size_t end; (end = sent.find("\r\n", at)) != std::string::npos; at = end + 2) Expect(sent.substr(at, end - at));
      Expect(sent.substr(at));
      Reply(line.substr(std::min(bar + 2, line.size())));
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
  Transcript t{file, "Unreadable", line};
  return t.problem = problem, t;
}

// Steps chained with " || " split, macro uses replaced by their lines, $N and $N* by the words given.
void Expand(const Library& library, const SourceLine& use, std::vector<SourceLine>& out, int depth = 0) {
  if (const std::size_t bar = use.text.find(" || "); bar != std::string::npos) {
    Expand(library, {use.file, use.text.substr(0, bar), use.line}, out, depth);
    return Expand(library, {use.file, use.text.substr(bar + 4), use.line}, out, depth);
  }
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
        const auto [macro, steps] = Split(Trim(text.substr(5)));
        if (library.macros.count(macro)) library.failures.push_back(Failure(name, number + 1, "@" + macro + " defined twice"));
        ++defined, library.macros[macro];
        if (steps.empty()) defining = macro; else library.macros[macro].push_back({name, steps, number + 1});
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

std::vector<Transcript> LoadTranscripts(const std::string& folder) {
  Library library = Read(folder);
  std::vector<Transcript> cases = library.failures;
  for (const auto& body : library.files) {
    std::size_t first = cases.size();
    std::unique_ptr<CaseBuilder> builder;
    for (const SourceLine& source : body) {
      try {
        if (source.text.starts_with("== ")) {
          static const std::regex kCase(R"(== (\S+) ([SPIMC])(?: > (.*?))?(?: (!)(?: (.*?))?)?(?: (=)(?: (.*))?)?)");
          std::smatch m;
          const std::string text = Trim(source.text);
          if (!std::regex_match(text, m, kCase)) {
            throw std::runtime_error("not == Name S|P|I|M|C [> calls] [! error] [= state]");
          }
          cases.push_back({source.file, m[1].str(), source.line, m[2].str()[0]});
          Transcript& t = cases.back();
          builder = std::make_unique<CaseBuilder>(t);
          t.has_error = m[4].matched, t.check_error = Trim(m[5].str()) != "*", t.has_state = m[6].matched;
          t.error = builder->Tags(Unescape(Trim(m[5].str())), false), t.state = builder->Tags(Unescape(m[7].str()), false);
          if (library.each.count(source.file)) {
            std::vector<SourceLine> lines;
            Expand(library, {source.file, "@" + library.each[source.file], source.line}, lines);
            for (const SourceLine& line : lines) builder->Add(line);
          }
          if (m[3].matched) builder->Add({source.file, "> " + m[3].str(), source.line});
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


std::string TlsDir() {
  const char* dir = std::getenv("VESK_TLS_DIR");
  return dir && *dir ? dir : "";
}

template <typename T>
std::string Joined(const std::vector<T>& items, const char* separator = " ") {
  std::string text;
  for (const T& item : items) {
    if (!text.empty()) text += separator;
    if constexpr (std::is_same_v<T, std::string>) text += item; else text += std::to_string(item);
  }
  return text;
}

// One case being played: the clients and what the calls left to look at.
struct Played {
  Clients clients;
  MailboxProbe probe;
  SocketConnection connection;
  std::uint16_t port = 0;
  char protocol;
  std::string prefix, message, summary, uid, name, content, trace_path, text;
  std::vector<std::string> hidden;
  std::int32_t size = -1, flags = -1;
  std::int16_t found = -1;
  int reports = 0;
  std::uint64_t done = 0;
  bool changed = false, trace = false;
  long long took = 0, within = 0, total = 0;
  ImapBodyPart part;

  LineSession& session() { return clients.Of(protocol); }
  SmtpClient& smtp() { return clients.smtp; }
  Pop3Client& pop3() { return clients.pop3; }
  ImapClient& imap() { return clients.imap; }
};

int Number(const std::string& text) { return std::stoi(text); }

// CPU time of the calling thread: a wait that spins shows up here.
long long ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}
std::string Rest(const std::string& argument) { return Unescape(Split(argument).second); }  // the words after the first

using Verb = std::function<bool(Played&, const std::string& argument, const std::vector<std::string>& words)>;

// Calls, by protocol letter and name ("*" for every protocol).
const std::map<std::string, Verb>& Calls() {
  static const std::map<std::string, Verb> calls = {
      {"*connect", [](Played& r, auto&, auto&) {
         const bool connected = r.session().Connect();
         if (r.session().security().mode != Security::kNone) EXPECT_EQ(r.session().tls_protocol().empty(), !connected);
         return connected;
       }},
      {"*disconnect", [](Played& r, auto&, auto&) { return r.session().Disconnect(); }},
      {"*sleep", [](Played&, auto&, auto& w) { return std::this_thread::sleep_for(std::chrono::milliseconds(Number(w[0]))), true; }},
      // A listener for retrievals of w[0] bytes that stops them at its w[1]th report (0: never).
      {"*progress", [](Played& r, auto&, auto& w) {
         r.session().progress = [&r, total = std::stoull(w[0]), stop = Number(w[1])](TransferKind kind, std::uint64_t done,
                                                                                     std::uint64_t of) {
           EXPECT_EQ(kind, TransferKind::kRetrieve);
           EXPECT_EQ(of, total);
           EXPECT_TRUE(stop == 0 || r.reports < stop) << "a report after the one that stopped";
           return r.done = done, ++r.reports != stop;
         };
         return true;
       }},
      {"Ssend", [](Played& r, auto&, auto& w) { return r.smtp().Send(w[0], {w.begin() + 1, w.end()}, r.message); }},
      {"Pretrieve", [](Played& r, auto&, auto& w) { return r.pop3().Retrieve(Number(w[0])); }},
      {"Ptop", [](Played& r, auto&, auto& w) { return r.pop3().RetrieveTop(Number(w[0]), Number(w[1])); }},
      {"Psize", [](Played& r, auto&, auto& w) { return r.size = -1, r.pop3().GetMessageSize(Number(w[0]), r.size); }},
      {"Pdelete", [](Played& r, auto&, auto& w) { return r.pop3().Delete(Number(w[0])); }},
      {"Preset", [](Played& r, auto&, auto&) { return r.pop3().Reset(); }},
      {"Puid", [](Played& r, auto&, auto& w) { return r.pop3().GetMessageUid(Number(w[0]), r.uid); }},
      {"Pfind", [](Played& r, auto&, auto& w) { return r.found = -1, r.pop3().FindMessageByUid(w[0], r.found); }},
      {"Iselect", [](Played& r, auto&, auto&) { return r.imap().SelectMailbox(false); }},
      {"Icopy", [](Played& r, auto& a, auto& w) { return r.imap().CopyMessage(Number(w[0]), Rest(a)); }},
      {"Imove", [](Played& r, auto& a, auto& w) { return r.imap().MoveMessage(Number(w[0]), Rest(a)); }},
      {"Iexpunge", [](Played& r, auto&, auto&) { return r.imap().Expunge(); }},
      {"Inoop", [](Played& r, auto&, auto&) { return r.imap().ExecuteCommand(ImapCommand::kNoop); }},
      {"Ilist", [](Played& r, auto&, auto&) { return r.imap().GetMailboxesList(); }},
      {"Istatus", [](Played& r, auto&, auto&) { return r.imap().UpdateStatus(); }},
      {"Iflags", [](Played& r, auto&, auto& w) { return r.flags = -1, r.imap().GetMessageFlags(Number(w[0]), r.flags); }},
      {"Iretrieve", [](Played& r, auto&, auto& w) { return r.imap().Retrieve(static_cast<std::int32_t>(std::stoul(w[0]))); }},
      {"Isearch", [](Played& r, auto& a, auto&) { return r.imap().Search(Unescape(a)); }},
      {"Isearch-sent-on", [](Played& r, auto&, auto& w) { return r.imap().SearchSentOn(Number(w[0]), Number(w[1]), Number(w[2])); }},
      {"Iappend", [](Played& r, auto& a, auto& w) { return r.imap().AppendMessage(w[0], Rest(a)); }},
      {"Icreate", [](Played& r, auto& a, auto&) { return r.imap().CreateMailbox(Unescape(a)); }},
      {"Idelete-mailbox", [](Played& r, auto& a, auto&) { return r.imap().DeleteMailbox(Unescape(a)); }},
      {"Idelete", [](Played& r, auto&, auto& w) { return r.imap().DeleteMessage(Number(w[0])); }},
      {"Ispecial", [](Played& r, auto&, auto& w) { return r.imap().FindSpecialMailbox(w[0], r.name); }},
      {"Iwait", [](Played& r, auto&, auto& w) { return r.imap().WaitForChange(Number(w[0]), r.changed); }},
      {"Ipart", [](Played& r, auto&, auto& w) { return r.imap().FetchPart(Number(w[0]), w[1], r.content, r.part); }},
      {"Mcheck", [](Played& r, auto&, auto& w) { return CheckMailAddress(w[0], Number(w[1]), r.probe); }},
      {"Mprobe", [](Played& r, auto&, auto& w) { return r.probe.Probe(w[0], w[1]); }},
      {"Cconnect", [](Played& r, auto&, auto&) {
         return r.connection.Create() && r.connection.ConnectTo("127.0.0.1", r.port);
       }},
      {"Cline", [](Played& r, auto&, auto& w) {  // a reply line into a buffer of 260 bytes
         char line[260] = "";
         r.size = r.connection.ReadResponseLine(line, sizeof line, Number(w[0]));
         return r.text = line, r.size >= 0;
       }},
      {"Cblock", [](Played& r, auto&, auto& w) {
         return r.text = "left over", ReadDotTerminated(r.connection, r.text, Number(w[0]));
       }},
      {"Cwhole-line", [](Played& r, auto&, auto& w) { return r.connection.ReadLine(r.text, Number(w[0])); }},
      {"Cbytes", [](Played& r, auto&, auto& w) {  // w[1] bytes appended to w[0]
         return r.text = w[0], r.connection.ReadBytes(r.text, Number(w[1]), Number(w[2]));
       }},
  };
  return calls;
}

const std::map<std::string, Verb>& Settings() {
  static const std::map<std::string, Verb> settings = {
      {"timeout", [](Played& r, auto&, auto& w) { return r.session().set_timeout_ms(Number(w[0])), true; }},
      {"user", [](Played& r, auto& a, auto&) { return r.session().set_user(Unescape(a)), true; }},
      {"password", [](Played& r, auto& a, auto&) { return r.session().set_password(Unescape(a)), true; }},
      {"token", [](Played& r, auto& a, auto&) { return r.session().credentials().SetAccessToken(Unescape(a)), true; }},
      {"method", [](Played& r, auto&, auto& w) {
         const std::map<std::string, AuthMethod> methods = {{"automatic", AuthMethod::kAutomatic},
             {"plain", AuthMethod::kPlain}, {"login", AuthMethod::kLogin}, {"xoauth2", AuthMethod::kXOAuth2},
             {"oauthbearer", AuthMethod::kOAuthBearer}};
         return r.session().credentials().method = methods.at(w[0]), true;
       }},
      {"security", [](Played& r, auto&, auto& w) {
         const std::map<std::string, Security> modes = {{"starttls", Security::kStartTls}, {"implicit", Security::kImplicitTls}};
         r.session().security().extra_ca_file = TlsDir() + "/ca.pem";
         return r.session().security().mode = modes.at(w[0]), true;
       }},
      {"host", [](Played& r, auto& a, auto&) { return r.session().set_host(Unescape(a)), r.probe.set_host(Unescape(a)), true; }},
      {"unchecked", [](Played& r, auto&, auto&) { return r.session().security().verify_certificate = false, true; }},
      {"trace", [](Played& r, auto&, auto&) { return r.session().trace().set_path(r.trace_path), r.trace = true; }},
      {"hidden", [](Played& r, auto& a, auto&) { return r.hidden.push_back(Unescape(a)), true; }},
      {"within", [](Played& r, auto&, auto& w) { return r.within = Number(w[0]), true; }},
      {"summary", [](Played& r, auto&, auto& w) { return r.summary = w[0], true; }},
      {"helo", [](Played& r, auto& a, auto&) { return r.smtp().set_helo_name(Unescape(a)), true; }},
      {"message", [](Played& r, auto& a, auto&) { return r.message = Unescape(a), true; }},
      {"extensions", [](Played& r, auto&, auto&) { return r.smtp().send_options().use_extensions = true; }},
      {"partial", [](Played& r, auto&, auto&) { return r.smtp().send_options().allow_partial_delivery = true; }},
      {"no-pipelining", [](Played& r, auto&, auto&) { return !(r.smtp().send_options().pipelining = false); }},
      {"notify", [](Played& r, auto&, auto& w) { return r.smtp().send_options().notify = Number(w[0]), true; }},
      {"headers-only", [](Played& r, auto&, auto&) { return r.smtp().send_options().report_return = DeliveryReturn::kHeadersOnly, true; }},
      {"envid", [](Played& r, auto& a, auto&) { return r.smtp().send_options().envelope_id = Unescape(a), true; }},
      {"changed", [](Played& r, auto&, auto& w) { return r.changed = w[0] == "yes", true; }},
      {"mailbox", [](Played& r, auto& a, auto&) { return r.imap().set_mailbox_name(Unescape(a)), true; }},
      {"max-line", [](Played& r, auto&, auto& w) { return r.imap().set_max_line_bytes(Number(w[0])), true; }},
      {"uids", [](Played& r, auto&, auto&) { return r.imap().set_use_uids(true), true; }},
      {"uid-next-wanted", [](Played& r, auto&, auto&) { return r.imap().want_uid_next(), true; }},
      {"idle-renewal", [](Played& r, auto&, auto& w) { return r.imap().set_idle_renewal(std::chrono::milliseconds(Number(w[0]))), true; }},
  };
  return settings;
}

// What the caller sees, by name.
std::string Field(Played& r, const std::string& name) {
  ImapClient& i = r.imap();
  const int number = r.connection.LastError();
  if (name == "error" && r.protocol == 'C') return number ? std::to_string(number) : "";
  if (name == "error") return r.protocol == 'M' ? "" : r.session().last_error();
  if (name == "state") {
    if (r.summary == "reply") return r.session().last_reply();
    if (r.protocol == 'P') return std::to_string(r.pop3().message_count()) + "|" + r.pop3().retrieved_text();
    if (r.protocol == 'I') return i.logged_in() && i.connected() ? "logged in" : "logged out";
    if (r.protocol == 'C') return "";
    std::vector<std::string> shown;  // SMTP: the recipients refused, and whether the connection is gone
    for (const RefusedRecipient& refused : r.smtp().refused_recipients()) shown.push_back(refused.address + "|" + refused.reply);
    if (r.protocol != 'M' && !r.smtp().connected()) shown.push_back("closed");
    return Joined(shown, "; ");
  }
  const std::map<std::string, std::function<std::string()>> fields = {
      {"size", [&] { return std::to_string(r.size); }},
      {"progress", [&] { return std::to_string(r.done); }},  // the bytes done at the last report
      {"uid", [&] { return r.uid; }},
      {"found", [&] { return std::to_string(r.found); }},
      {"flags", [&] { return std::to_string(r.flags); }},
      {"changed", [&] { return std::string(r.changed ? "yes" : "no"); }},
      {"name", [&] { return r.name; }},
      {"content", [&] { return r.content; }},
      {"file", [&] { return r.part.file_name; }},
      {"messages", [&] { return std::to_string(i.message_count()); }},
      {"text", [&] { return r.protocol == 'C' ? r.text : r.protocol == 'P' ? r.pop3().retrieved_text() : i.message_text(); }},
      {"socket-error", [&] { return std::to_string(sockets::LastError()); }},
      {"results", [&] { return Joined(i.search_results()); }},
      {"uids", [&] { return Joined(i.uid_search_results()); }},
      {"validity", [&] { return std::to_string(i.uid_validity()); }},
      {"uidnext", [&] { return std::to_string(i.uid_next()); }},
      {"counts", [&] { return Joined(std::vector<int>{i.message_count(), i.recent_count(), i.first_unseen()}); }},
      {"mailboxes", [&] { return Joined(i.mailbox_list(), ", "); }},
      {"delimiter", [&] { return i.hierarchy_delimiter(); }},
      {"tag", [&] { return i.current_tag(); }},
      {"logged-in", [&] { return std::string(i.logged_in() ? "yes" : "no"); }},
  };
  return fields.at(name)();
}

void Act(Played& r, const Transcript& t, const CaseAction& a) {
  const std::string where = t.file + ":" + std::to_string(a.line) + ": " + a.verb + " " + a.argument;
  if (a.kind == CaseAction::kCheck) {
    if (a.verb == "took<") {
      EXPECT_LT(r.took, Number(a.argument)) << where;
    } else if (a.verb == "took>=") {
      EXPECT_GE(r.took, Number(a.argument)) << where;
    } else {
      try {
        EXPECT_EQ(Field(r, a.verb), Resolve(a.argument, r.prefix)) << where;
      } catch (const std::out_of_range&) {
        ADD_FAILURE() << where << ": no such field";
      }
    }
    return;
  }
  const auto& table = a.kind == CaseAction::kCall ? Calls() : Settings();
  auto verb = table.find(a.kind == CaseAction::kCall ? std::string(1, r.protocol) + a.verb : a.verb);
  if (verb == table.end()) verb = table.find("*" + a.verb);
  if (verb == table.end()) {
    ADD_FAILURE() << where << ": no such " << (a.kind == CaseAction::kCall ? "call" : "setting");
    return;
  }
  const auto started = std::chrono::steady_clock::now();
  const long long cpu_before = ThreadCpuMilliseconds();
  bool result = false;
  try {
    result = verb->second(r, Resolve(a.argument, r.prefix), Words(Resolve(a.argument, r.prefix)));
  } catch (const std::exception& e) {
    ADD_FAILURE() << where << ": bad argument (" << e.what() << ")";
    return;
  }
  r.took = MillisecondsSince(started), r.total += r.took;
  if (r.protocol == 'C') EXPECT_LT(ThreadCpuMilliseconds() - cpu_before, 250) << where << ": a wait that spins";
  if (a.kind == CaseAction::kCall) EXPECT_EQ(result, !a.must_fail) << where << " -> " << Field(r, "error");
}

class Transcripts : public ::testing::TestWithParam<Transcript> {};

TEST_P(Transcripts, SendExactlyTheScriptedLinesAndShowWhatTheCallerMustSee) {
  const Transcript& t = GetParam();
  if (!t.problem.empty()) FAIL() << t.file << ":" << t.line << ": " << t.problem;
  const bool tls = std::any_of(t.script.begin(), t.script.end(), [](auto& s) { return s.kind == ScriptStep::kTls; }) ||
                   std::any_of(t.actions.begin(), t.actions.end(), [](auto& a) { return a.verb == "security"; });
  if (tls && TlsDir().empty()) GTEST_SKIP() << "no certificates: run tools/mailservers.sh start, set VESK_TLS_DIR";
  const TempFile trace_file;
  auto run = std::make_unique<Played>();
  run->protocol = t.protocol, run->prefix = run->imap().tag_prefix();
  FakeServer server;
  for (const ScriptStep& step : t.script) {
    const std::string text = Resolve(step.text, run->prefix);
    switch (step.kind) {
      case ScriptStep::kExpect: server.ExpectLine(text); break;
      case ScriptStep::kSend: server.Send(text); break;
      case ScriptStep::kPause: server.Pause(step.milliseconds); break;
      case ScriptStep::kStall: server.Stall(step.milliseconds); break;
      case ScriptStep::kClose: server.Close(); break;
      case ScriptStep::kReset: server.Reset(); break;
      case ScriptStep::kTls: server.StartTls(TlsDir() + "/" + text + ".pem", TlsDir() + "/" + text + ".key"); break;
    }
  }
  server.Start();
  run->probe.set_host("127.0.0.1"), run->probe.set_port(server.port()), run->port = server.port();
  run->clients.Aim(t.protocol == 'M' ? 'S' : t.protocol, server.port());
  run->trace_path = trace_file.path;
  for (const CaseAction& action : t.actions) Act(*run, t, action);
  const std::string where = t.file + ":" + std::to_string(t.line) + " " + t.name;
  if (t.check_error) EXPECT_EQ(Field(*run, "error"), t.has_error ? Resolve(t.error, run->prefix) : t.protocol == 'I' ? "Unknown error" : "") << where;
  const std::string fresh_state = run->summary == "reply" ? "" : t.protocol == 'P' ? "0|" : t.protocol == 'I' ? "logged in" : "";
  EXPECT_EQ(Field(*run, "state"), t.has_state ? Resolve(t.state, run->prefix) : fresh_state) << where;
  if (run->within) EXPECT_LT(run->total, run->within) << where;
  const std::string prefix = run->prefix;
  std::vector<std::string> hidden = run->hidden;
  hidden.push_back(run->session().password()), hidden.push_back(run->session().credentials().access_token);
  const bool traced = run->trace;
  run.reset();  // an IMAP4 client still logged in says LOGOUT now
  server.Finish();
  EXPECT_THAT(server.Problems(), ::testing::IsEmpty()) << where;
  std::vector<std::string> sent, lines = server.ReceivedLines();
  for (const std::string& line : t.client_lines) sent.push_back(Resolve(line, prefix));
  // A handshake the server never finished is left as bytes after the lines.
  if (lines.size() > sent.size() && lines[sent.size()].starts_with("\x16\x03")) lines.resize(sent.size());
  EXPECT_EQ(lines, sent) << where;
  EXPECT_EQ(server.accepted(), !t.script.empty()) << where;
  if (!traced) return;
  // Every line sent is traced, a secret one as "***".
  const std::string trace = trace_file.ReadAll();
  for (const std::string& secret : hidden) {
    if (!secret.empty()) EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in\n" << trace;
  }
  std::size_t count = 0;
  for (std::size_t at = 0; (at = trace.find(" C: ", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, sent.size()) << trace;
}

INSTANTIATE_TEST_SUITE_P(Dialogues, Transcripts, ::testing::ValuesIn(LoadTranscripts(VESK_TRANSCRIPT_DIR)), [](const auto& info) {
  std::string name = info.param.file.substr(0, info.param.file.find('.')) + "_" + info.param.name;
  if (!info.param.problem.empty()) name += "_line" + std::to_string(info.param.line);
  for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

}  // namespace
}  // namespace vesk::testing
