#pragma once

// Dialogue transcripts: plain text files (tests/engine/protocols/transcripts)
// that say what a scripted server sends and expects and what the caller does
// and must see, read into cases for one player. A file holds cases and the
// openings they share:
//
//   # a comment
//   @def NAME ... @end   lines that "@NAME words" stands for; $1 to $9 are
//                        the words after the name, $N* the words from N on
//   @each NAME           every case of the file begins with @NAME
//   == Case P [! error] [= state]   a case of protocol S (SMTP), P (POP3),
//                        I (IMAP4) or M (mailbox probe): at its end the last
//                        error and the protocol's state summary must read so
//                        ("!" or "=" left out: the client's first error text,
//                        the protocol's first state; "! *": not checked)
//   > call ; !call ; :name value ; ?field value
//                        in order: calls (one marked "!" must fail, the
//                        others must succeed), settings of the client, and
//                        what the caller sees now (took< N, took>= N: the
//                        milliseconds of the call before); ": name value"
//                        and "? field value" are lines of one of them
//   client | reply       the server waits for the client's line(s), then
//                        sends the reply (nothing after "|": sends nothing)
//   < reply              the server sends the reply unasked
//   ~N  ~close  ~tls NAME   a pause, an orderly close, a TLS handshake
//
// Text escapes: \n a line end as the wire has it (CR LF), \r CR, \l LF, \t,
// \0, \\, \xHH, \*Nc the character c N times, \H the local host name,
// \b{text} text in base64, and \c at the end of a reply: no line end after
// it (every reply gets one otherwise). IMAP4 tags: "% " opening a client
// line is the next tag (0 first), %N tag N, % elsewhere the latest tag, %%
// a percent sign. {{text}} in a reply is a literal: {size} CR LF and text.

#include <ostream>
#include <string>
#include <vector>

namespace vesk::testing {

struct ScriptStep {
  enum Kind { kExpect, kSend, kPause, kClose, kTls } kind;
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

// Every case of every *.txt in `folder` (macros are shared by all files);
// parse errors, a missing folder and a file without cases come back as cases
// that fail with the problem, named by file and line.
std::vector<Transcript> LoadTranscripts(const std::string& folder);

// The script lines of one macro, expanded as a case would have them.
std::vector<ScriptStep> OpeningOf(const std::string& folder, const std::string& macro, std::vector<std::string>* lines);

// Escapes decoded; "{t}" kept for the tag prefix.
std::string Unescape(const std::string& text);
// A call's argument in words: blank-separated, "..." holds blanks, escapes
// decoded in each word.
std::vector<std::string> Words(const std::string& argument);
// "{t}" replaced by `prefix` and {{literals}} given their size line.
std::string Resolve(std::string text, const std::string& prefix);

inline void PrintTo(const Transcript& t, std::ostream* out) { *out << t.file << ":" << t.line << " " << t.name; }

}  // namespace vesk::testing
