// The player of the dialogue transcripts (transcripts/*.txt; the format is
// described in support/transcript.h): one test per case. A case fails where
// a call comes to another result than marked, a check reads otherwise, the
// client sends other lines than the script's, or its file cannot be read.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/protocols/mailbox_probe.h"
#include "support/fake_server.h"
#include "support/test_streams.h"
#include "support/transcript.h"

namespace vesk::testing {
namespace {

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
  char protocol;
  std::string prefix, message, summary, uid, name, content, trace_path;
  std::vector<std::string> hidden;
  std::int32_t size = -1, flags = -1;
  std::int16_t found = -1;
  bool changed = false, trace = false;
  long long took = 0, within = 0, total = 0;
  ImapBodyPart part;

  LineSession& session() { return clients.Of(protocol); }
  SmtpClient& smtp() { return clients.smtp; }
  Pop3Client& pop3() { return clients.pop3; }
  ImapClient& imap() { return clients.imap; }
};

int Number(const std::string& text) { return std::stoi(text); }
std::string Rest(const std::string& argument) {  // the words after the first
  const auto blank = argument.find(' ');
  return blank == std::string::npos ? "" : Unescape(argument.substr(blank + 1));
}

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
      {"Ssend", [](Played& r, auto&, auto& w) {
         return r.smtp().Send(w[0], std::vector<std::string>(w.begin() + 1, w.end()), r.message);
       }},
      {"Ssend-wire", [](Played& r, auto&, auto& w) {
         return r.smtp().Send(w[0], std::vector<std::string>(w.begin() + 1, w.end()), r.message,
                              SmtpClient::MessageForm::kWireReady);
       }},
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
      {"Isearch-sent-on", [](Played& r, auto&, auto& w) {
         return r.imap().SearchSentOn(Number(w[0]), Number(w[1]), Number(w[2]));
       }},
      {"Iappend", [](Played& r, auto& a, auto& w) { return r.imap().AppendMessage(w[0], Rest(a)); }},
      {"Icreate", [](Played& r, auto& a, auto&) { return r.imap().CreateMailbox(Unescape(a)); }},
      {"Idelete-mailbox", [](Played& r, auto& a, auto&) { return r.imap().DeleteMailbox(Unescape(a)); }},
      {"Idelete", [](Played& r, auto&, auto& w) { return r.imap().DeleteMessage(Number(w[0])); }},
      {"Ispecial", [](Played& r, auto&, auto& w) { return r.imap().FindSpecialMailbox(w[0], r.name); }},
      {"Iwait", [](Played& r, auto&, auto& w) { return r.imap().WaitForChange(Number(w[0]), r.changed); }},
      {"Ipart", [](Played& r, auto&, auto& w) { return r.imap().FetchPart(Number(w[0]), w[1], r.content, r.part); }},
      {"Mcheck", [](Played& r, auto&, auto& w) { return CheckMailAddress(w[0], Number(w[1]), r.probe); }},
      {"Mprobe", [](Played& r, auto&, auto& w) { return r.probe.Probe(w[0], w[1]); }},
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
      {"headers-only", [](Played& r, auto&, auto&) {
         return r.smtp().send_options().report_return = DeliveryReturn::kHeadersOnly, true;
       }},
      {"envid", [](Played& r, auto& a, auto&) { return r.smtp().send_options().envelope_id = Unescape(a), true; }},
      {"text", [](Played& r, auto& a, auto&) { return r.imap().message_text = Unescape(a), true; }},
      {"changed", [](Played& r, auto&, auto& w) { return r.changed = w[0] == "yes", true; }},
      {"mailbox", [](Played& r, auto& a, auto&) { return r.imap().mailbox_name = Unescape(a), true; }},
      {"first-unseen", [](Played& r, auto&, auto& w) { return r.imap().first_unseen = Number(w[0]), true; }},
      {"max-line", [](Played& r, auto&, auto& w) { return r.imap().max_line_bytes = Number(w[0]), true; }},
      {"uids", [](Played& r, auto&, auto&) { return r.imap().use_uids = true; }},
      {"uid-next-wanted", [](Played& r, auto&, auto&) { return r.imap().uid_next_wanted = true; }},
      {"idle-renewal", [](Played& r, auto&, auto& w) {
         return r.imap().idle_renewal = std::chrono::milliseconds(Number(w[0])), true;
       }},
  };
  return settings;
}

// What the caller sees, by name.
std::string Field(Played& r, const std::string& name) {
  ImapClient& i = r.imap();
  if (name == "error") return r.protocol == 'M' ? "" : r.session().last_error();
  if (name == "reply") return r.session().last_reply();
  if (name == "state") {
    if (r.summary == "reply") return r.session().last_reply();
    if (r.protocol == 'P') return std::to_string(r.pop3().message_count()) + "|" + r.pop3().retrieved_text();
    if (r.protocol == 'I') return i.logged_in() && i.connected() ? "logged in" : "logged out";
    std::vector<std::string> shown;  // SMTP: the recipients refused, and whether the connection is gone
    for (const RefusedRecipient& refused : r.smtp().refused_recipients()) shown.push_back(refused.address + "|" + refused.reply);
    if (r.protocol != 'M' && !r.smtp().connected()) shown.push_back("closed");
    return Joined(shown, "; ");
  }
  const std::map<std::string, std::function<std::string()>> fields = {
      {"size", [&] { return std::to_string(r.size); }},
      {"uid", [&] { return r.uid; }},
      {"found", [&] { return std::to_string(r.found); }},
      {"flags", [&] { return std::to_string(r.flags); }},
      {"changed", [&] { return std::string(r.changed ? "yes" : "no"); }},
      {"name", [&] { return r.name; }},
      {"content", [&] { return r.content; }},
      {"file", [&] { return r.part.file_name; }},
      {"messages", [&] { return std::to_string(i.message_count); }},
      {"text", [&] { return r.protocol == 'P' ? r.pop3().retrieved_text() : i.message_text; }},
      {"results", [&] { return Joined(i.search_results); }},
      {"uids", [&] { return Joined(i.uid_search_results); }},
      {"validity", [&] { return std::to_string(i.uid_validity); }},
      {"uidnext", [&] { return std::to_string(i.uid_next); }},
      {"counts", [&] { return Joined(std::vector<int>{i.message_count, i.recent_count, i.first_unseen}); }},
      {"mailboxes", [&] { return Joined(i.mailbox_list, ", "); }},
      {"delimiter", [&] { return i.hierarchy_delimiter; }},
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
  bool result = false;
  try {
    result = verb->second(r, Resolve(a.argument, r.prefix), Words(Resolve(a.argument, r.prefix)));
  } catch (const std::exception& e) {
    ADD_FAILURE() << where << ": bad argument (" << e.what() << ")";
    return;
  }
  r.took = MillisecondsSince(started), r.total += r.took;
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
      case ScriptStep::kClose: server.Close(); break;
      case ScriptStep::kTls: server.StartTls(TlsDir() + "/" + text + ".pem", TlsDir() + "/" + text + ".key"); break;
    }
  }
  server.Start();
  run->probe.set_host("127.0.0.1"), run->probe.set_port(server.port());
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

std::vector<Transcript> All() { return LoadTranscripts(VESK_TRANSCRIPT_DIR); }

INSTANTIATE_TEST_SUITE_P(Dialogues, Transcripts, ::testing::ValuesIn(All()), [](const auto& info) {
  std::string name = info.param.file.substr(0, info.param.file.find('.')) + "_" + info.param.name;
  if (!info.param.problem.empty()) name += "_line" + std::to_string(info.param.line);
  for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

}  // namespace
}  // namespace vesk::testing
