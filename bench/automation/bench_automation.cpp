// What a caller pays per message through veskmail.dll, side by side with the
// engine doing the same work in the same process, on the same loopback
// servers (tools/mailservers.sh) and the same messages:
//
//   Send x1000          one SMTP session, 1,000 sends of one small message.
//                       Engine: render the message, SmtpClient::Send. The
//                       DLL in the plain HELO dialogue (vtable, IDispatch),
//                       with EHLO but PIPELINING switched off ("vt-ehlo"),
//                       and pipelined ("vt-pipe"). The text is also written
//                       for Python's smtplib, which the script that runs
//                       this program times on the same server.
//   Retrieve x1000      one POP3 session, RETR 1 to 1,000. Engine:
//                       Pop3Client::Retrieve and the retrieved text read into
//                       a new message (what the DLL hands out).
//   RetrieveTop x1000   the same with TOP n 5.
//   RawMessage get      a message of about 20 MiB rendered. Engine:
//                       MessageEntity::Write into memory.
//   RawMessage put      the same text read into the message.
//   Attachments x1000   a walk over a message with ten attachments: the
//                       collection, its Count, and per item FileName,
//                       ContentType and SimpleContent. Engine: the attachment
//                       list and the same values from the parts.
//
// Each DLL task runs through the vtable (the Ex interfaces) and through
// IDispatch (Invoke with dispatch ids looked up once, as a compiled
// late-bound caller does). Runs are repeated and interleaved; the medians are
// printed per message and as a ratio to the engine. Under Wine the absolute
// figures are not Windows figures; the ratios are what is tracked.
//
// Run (bench/scripts/automation_bench.sh does all of this and then runs the
// VBScript driver):
//   tools/mailservers.sh start
//   cmake --preset bench && cmake --build --preset bench
//   (register build/win64/bin/veskmail.dll in build/win64/wineprefix)
//   /usr/lib/wine/wine64 build/bench/automation-win64/bin/bench_automation.exe [/reps:N] [/only:NAME,...]
//
// Settings as for the tests: VESK_SMTP_PORT (2525), VESK_POP3_PORT (2110),
// VESK_MAIL_USER, VESK_MAIL_PASSWORD, VESK_MAIL_ADDRESS.

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/mime/attachment_list.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "engine/streams/string_stream.h"
#include "support/mail_servers.h"
#include "veskmail_h.h"

namespace {

using namespace vesk::bench;
using Clock = std::chrono::steady_clock;

constexpr int kMessages = 1000;
constexpr int kTopLines = 5;
constexpr int kWalks = 1000;
constexpr int kAttachments = 10;
constexpr char kSender[] = "bench@example.com";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_automation: %s\n", what.c_str());
  std::exit(1);
}

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    char text[32];
    std::snprintf(text, sizeof text, " (0x%08lX)", static_cast<unsigned long>(hr));
    Fail(std::string(what) + text);
  }
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// An owned interface pointer, just enough for a benchmark.
template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T** put() {
    reset();
    return &p;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* operator->() const { return p; }
};

struct OwnedBstr {
  BSTR s = nullptr;
  explicit OwnedBstr(const std::string& text = {}) {
    const std::wstring wide = Wide(text);
    s = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  ~OwnedBstr() { SysFreeString(s); }
};

template <class T>
void Create(REFCLSID clsid, REFIID iid, Ptr<T>& object) {
  Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.put_void()),
        "CoCreateInstance (is veskmail.dll registered in this prefix?)");
}

// --- IDispatch ---------------------------------------------------------------

DISPID IdOf(IDispatch* object, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  Check(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), "GetIDsOfNames");
  return id;
}

// Invoke with the arguments in the caller's order (reversed for DISPPARAMS).
HRESULT Invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
  std::reverse(args.begin(), args.end());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{args.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr, static_cast<UINT>(args.size()),
                    flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

VARIANT Short(short value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = value;
  return v;
}
VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}
VARIANT Text(BSTR value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = value;  // borrowed
  return v;
}
VARIANT Object(IDispatch* value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = value;  // borrowed
  return v;
}

// --- Servers -------------------------------------------------------------------

short PortOf(const std::string& port) { return static_cast<short>(std::atoi(port.c_str())); }

void PointAt(vesk::Pop3Client& client) {
  client.set_host("127.0.0.1");
  client.set_port(PortOf(Pop3Port()));
  client.set_user(User());
  client.set_password(Password());
}

int CountMessages() {
  vesk::Pop3Client client;
  PointAt(client);
  if (!client.Connect()) return -1;
  const int count = client.message_count();
  client.Disconnect();
  return count;
}

bool WaitForCount(int count) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (Clock::now() < deadline) {
    if (CountMessages() == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void EmptyMailbox() {
  vesk::Pop3Client client;
  PointAt(client);
  if (!client.Connect()) Fail("POP3: " + client.last_error() + " (are the servers running?)");
  for (int n = 1; n <= client.message_count(); ++n) client.Delete(static_cast<std::int16_t>(n));
  client.Disconnect();
  if (!WaitForCount(0)) Fail("the mailbox does not empty");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the file system settle
}

// --- Timing --------------------------------------------------------------------


// The wall time of one run. The machine may be shared: the variants of a
// task take turns, and medians are compared.
struct Sample {
  double wall_ms = 0;
};

class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()) {}
  Sample Stop() const { return {std::chrono::duration<double, std::milli>(Clock::now() - wall_).count()}; }

 private:
  Clock::time_point wall_;
};

// One task: its variants (engine first), each run once per repetition in an
// order that rotates, so a drift of the machine's load hits all of them.
struct Task {
  std::string name;
  int per;  // messages (or walks) per run
  std::vector<std::pair<std::string, std::function<Sample()>>> variants;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::map<std::string, double> engine_medians;
std::map<std::string, double> send_medians;

void PrintRow(const Task& task, const std::vector<std::vector<double>>& times) {
  const double engine = Median(times[0]);
  std::printf("%-17s", task.name.c_str());
  for (size_t v = 0; v < task.variants.size(); ++v) {
    const double median = Median(times[v]);
    const double per_message_us = median * 1000.0 / task.per;
    if (v == 0) {
      std::printf("  %s %9.1f us", task.variants[v].first.c_str(), per_message_us);
    } else {
      std::printf("  %s %9.1f us (%5.2fx)", task.variants[v].first.c_str(), per_message_us,
                  engine > 0 ? median / engine : 0.0);
    }
  }
  std::printf("\n");
}

void RunTask(const Task& task, int repetitions) {
  std::vector<std::vector<double>> wall(task.variants.size());
  for (int rep = 0; rep < repetitions; ++rep) {
    for (size_t k = 0; k < task.variants.size(); ++k) {
      const size_t v = (k + static_cast<size_t>(rep)) % task.variants.size();
      const Sample sample = task.variants[v].second();
      wall[v].push_back(sample.wall_ms);
    }
  }
  engine_medians[task.name] = Median(wall[0]);
  if (task.name == "Send") {
    for (size_t v = 0; v < task.variants.size(); ++v) send_medians[task.variants[v].first] = Median(wall[v]);
  }
  PrintRow(task, wall);
  std::fflush(stdout);
}

// --- Messages ------------------------------------------------------------------

// The small message of the send task, built through the DLL as a caller does.
void MakeSmallMessage(Ptr<IMIMEMessage>& message) {
  Create(CLSID_MIMEMessage, IID_IMIMEMessage, message);
  Ptr<IMailAddress> from;
  Check(message->get_From(from.put()), "From");
  OwnedBstr sender(kSender), recipient(Address()), subject("bench"),
      text("A small message for the benchmark.\r\n.A line with a period in front.\r\n");
  Check(from->put_Address(sender.s), "From.Address");
  Ptr<IMailAddresses> to;
  Check(message->get_To(to.put()), "To");
  Ptr<IMailAddress> added;
  Check(to->Add(added.put()), "To.Add");
  Check(added->put_Address(recipient.s), "To.Add.Address");
  Check(message->put_Subject(subject.s), "Subject");
  Check(message->put_Text(text.s), "Text");
}

std::string Narrow(BSTR text) {
  std::string out;
  const UINT length = SysStringLen(text);
  out.reserve(length);
  for (UINT i = 0; i < length; ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

std::string Base64Lines(size_t raw_bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(raw_bytes * 4 / 3 + raw_bytes / 38 + 8);
  std::uint32_t seed = 12345;
  size_t column = 0;
  for (size_t i = 0; i < raw_bytes / 3; ++i) {
    for (int k = 0; k < 4; ++k) {
      seed = seed * 1103515245u + 12345u;
      out.push_back(kAlphabet[(seed >> 16) & 63]);
    }
    if ((column += 4) == 76) {
      out.append("\r\n");
      column = 0;
    }
  }
  if (column) out.append("\r\n");
  return out;
}

// A multipart message: a short text and `count` base64 attachments of
// `bytes` each.
std::string MultipartMessage(int count, size_t bytes) {
  std::string text =
      "From: Bench <bench@example.com>\r\nTo: <vesk@localhost>\r\nSubject: attachments\r\n"
      "Date: Sun, 6 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
      "--b1\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nThe text of the message.\r\n";
  const std::string body = Base64Lines(bytes);
  for (int i = 1; i <= count; ++i) {
    const std::string name = "file" + std::to_string(i) + ".bin";
    text += "--b1\r\nContent-Type: application/octet-stream; name=\"" + name +
            "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + name +
            "\"\r\n\r\n" + body;
  }
  return text + "--b1--\r\n";
}

// --- Tasks -------------------------------------------------------------------

Task SendTask() {
  static Ptr<IMIMEMessage> message;
  MakeSmallMessage(message);
  // The engine sends the same text: the DLL's rendering (with the Date and
  // Message-ID the first send adds) read into an engine message.
  {
    Ptr<IVeskSMTPEx> smtp;
    Create(CLSID_VeskSMTP, IID_IVeskSMTPEx, smtp);
    OwnedBstr host("127.0.0.1");
    smtp->put_Host(host.s);
    smtp->put_Port(PortOf(SmtpPort()));
    Check(smtp->Connect(), "SMTP Connect");
    Check(smtp->Send(message.p, nullptr, nullptr), "SMTP Send");
    smtp->Disconnect();
  }
  BSTR raw = nullptr;
  Check(message->get_RawMessage(&raw), "RawMessage");
  static vesk::Ref<vesk::MessageEntity> entity = vesk::MakeRef<vesk::MessageEntity>();
  vesk::StringStream in(Narrow(raw));
  vesk::ReadMessage(in, *entity);
  SysFreeString(raw);

  auto around = [](const std::function<void()>& body) {
    EmptyMailbox();
    const Stopwatch watch;
    body();
    const Sample ms = watch.Stop();
    if (!WaitForCount(kMessages)) Fail("the server did not deliver every message");
    return ms;
  };
  Task task{"Send", kMessages, {}};
  task.variants.push_back({"engine", [=] {
                             return around([] {
                               vesk::SmtpClient client;
                               client.set_host("127.0.0.1");
                               client.set_port(PortOf(SmtpPort()));
                               if (!client.Connect()) Fail("SMTP: " + client.last_error());
                               const std::vector<std::string> recipients = {Address()};
                               for (int i = 0; i < kMessages; ++i) {
                                 vesk::StringStream out;
                                 vesk::WriteMessage(out, *entity);
                                 if (!client.Send(kSender, recipients, out.text())) {
                                   Fail("SMTP: " + client.last_error());
                                 }
                               }
                               client.Disconnect();
                             });
                           }});
  task.variants.push_back({"vtable", [=] {
                             return around([] {
                               Ptr<IVeskSMTPEx> smtp;
                               Create(CLSID_VeskSMTP, IID_IVeskSMTPEx, smtp);
                               OwnedBstr host("127.0.0.1");
                               smtp->put_Host(host.s);
                               smtp->put_Port(PortOf(SmtpPort()));
                               Check(smtp->Connect(), "SMTP Connect");
                               for (int i = 0; i < kMessages; ++i) Check(smtp->Send(message.p, nullptr, nullptr), "Send");
                               smtp->Disconnect();
                             });
                           }});
  // The DLL with the extensions asked for, PIPELINING used or not.
  for (const bool pipelining : {false, true}) {
    task.variants.push_back({pipelining ? "vt-pipe" : "vt-ehlo", [=] {
                               return around([pipelining] {
                                 Ptr<IVeskSMTPEx> smtp;
                                 Create(CLSID_VeskSMTP, IID_IVeskSMTPEx, smtp);
                                 OwnedBstr host("127.0.0.1");
                                 smtp->put_Host(host.s);
                                 smtp->put_Port(PortOf(SmtpPort()));
                                 smtp->put_UseExtensions(VARIANT_TRUE);
                                 smtp->put_Pipelining(pipelining ? VARIANT_TRUE : VARIANT_FALSE);
                                 Check(smtp->Connect(), "SMTP Connect");
                                 for (int i = 0; i < kMessages; ++i) Check(smtp->Send(message.p, nullptr, nullptr), "Send");
                                 smtp->Disconnect();
                               });
                             }});
  }
  // The same text for Python's smtplib, which automation_bench.sh times
  // between the rounds of this program (VESK_BENCH_SMTPLIB_MESSAGE names
  // the file, as a Windows path).
  if (const char* path = std::getenv("VESK_BENCH_SMTPLIB_MESSAGE"); path && *path) {
    vesk::StringStream out;
    vesk::WriteMessage(out, *entity);
    if (FILE* file = std::fopen(path, "wb")) {
      std::fwrite(out.text().data(), 1, out.text().size(), file);
      std::fclose(file);
    }
  }
  task.variants.push_back({"IDispatch", [=] {
                             return around([] {
                               Ptr<IDispatch> smtp;
                               Create(CLSID_VeskSMTP, IID_IDispatch, smtp);
                               OwnedBstr host("127.0.0.1");
                               Check(Invoke(smtp.p, IdOf(smtp.p, L"Host"), DISPATCH_PROPERTYPUT, {Text(host.s)}, nullptr), "Host");
                               Check(Invoke(smtp.p, IdOf(smtp.p, L"Port"), DISPATCH_PROPERTYPUT, {Short(PortOf(SmtpPort()))},
                                            nullptr), "Port");
                               Check(Invoke(smtp.p, IdOf(smtp.p, L"Connect"), DISPATCH_METHOD, {}, nullptr), "Connect");
                               const DISPID send = IdOf(smtp.p, L"Send");
                               for (int i = 0; i < kMessages; ++i) {
                                 Check(Invoke(smtp.p, send, DISPATCH_METHOD, {Object(message.p)}, nullptr), "Send");
                               }
                               Invoke(smtp.p, IdOf(smtp.p, L"Disconnect"), DISPATCH_METHOD, {}, nullptr);
                             });
                           }});
  return task;
}

// RETR (top_lines < 0) or TOP of messages 1 to 1,000 in one session.
Task RetrieveTask(const std::string& name, int top_lines) {
  Task task{name, kMessages, {}};
  task.variants.push_back({"engine", [=] {
                             vesk::Pop3Client client;
                             PointAt(client);
                             if (!client.Connect()) Fail("POP3: " + client.last_error());
                             const Stopwatch watch;
                             for (int n = 1; n <= kMessages; ++n) {
                               const auto number = static_cast<std::int16_t>(n);
                               const bool ok = top_lines < 0 ? client.Retrieve(number)
                                                             : client.RetrieveTop(number, static_cast<std::int16_t>(top_lines));
                               if (!ok) Fail("POP3: " + client.last_error());
                               vesk::Ref<vesk::MessageEntity> message = vesk::MakeRef<vesk::MessageEntity>();
                               vesk::StringStream in(client.retrieved_text());
                               vesk::ReadMessage(in, *message);
                             }
                             const Sample ms = watch.Stop();
                             client.Disconnect();
                             return ms;
                           }});
  auto connect = [](IVeskPOP3Ex* pop3) {
    OwnedBstr host("127.0.0.1"), user(User()), password(Password());
    pop3->put_Host(host.s);
    pop3->put_Port(PortOf(Pop3Port()));
    pop3->put_User(user.s);
    pop3->put_Password(password.s);
    Check(pop3->Connect(), "POP3 Connect");
  };
  task.variants.push_back({"vtable", [=] {
                             Ptr<IVeskPOP3Ex> pop3;
                             Create(CLSID_VeskPOP3, IID_IVeskPOP3Ex, pop3);
                             connect(pop3.p);
                             const Stopwatch watch;
                             for (int n = 1; n <= kMessages; ++n) {
                               Ptr<IDispatch> message;
                               const auto number = static_cast<short>(n);
                               Check(top_lines < 0 ? pop3->Retrieve(number, message.put())
                                                   : pop3->RetrieveTop(number, static_cast<short>(top_lines), message.put()),
                                     "Retrieve");
                             }
                             const Sample ms = watch.Stop();
                             pop3->Disconnect();
                             return ms;
                           }});
  task.variants.push_back({"IDispatch", [=] {
                             Ptr<IVeskPOP3Ex> pop3;
                             Create(CLSID_VeskPOP3, IID_IVeskPOP3Ex, pop3);
                             connect(pop3.p);
                             Ptr<IDispatch> late;
                             Check(pop3->QueryInterface(IID_IDispatch, late.put_void()), "IDispatch");
                             const DISPID id = IdOf(late.p, top_lines < 0 ? L"Retrieve" : L"RetrieveTop");
                             const Stopwatch watch;
                             for (int n = 1; n <= kMessages; ++n) {
                               VARIANT result;
                               VariantInit(&result);
                               std::vector<VARIANT> args = {Short(static_cast<short>(n))};
                               if (top_lines >= 0) args.push_back(Short(static_cast<short>(top_lines)));
                               Check(Invoke(late.p, id, DISPATCH_METHOD, args, &result), "Retrieve");
                               VariantClear(&result);
                             }
                             const Sample ms = watch.Stop();
                             pop3->Disconnect();
                             return ms;
                           }});
  return task;
}

// RawMessage of a message of about 20 MiB: get (render) and put (read).
std::vector<Task> RawMessageTasks() {
  static const std::string text = MultipartMessage(1, 15 * 1024 * 1024);
  static OwnedBstr wide(text);
  static vesk::Ref<vesk::MessageEntity> entity = vesk::MakeRef<vesk::MessageEntity>();
  {
    vesk::StringStream in(text);
    vesk::ReadMessage(in, *entity);
  }
  static Ptr<IMIMEMessage> message;
  Create(CLSID_MIMEMessage, IID_IMIMEMessage, message);
  Check(message->put_RawMessage(wide.s), "RawMessage put");
  static Ptr<IDispatch> late;
  Check(message->QueryInterface(IID_IDispatch, late.put_void()), "IDispatch");
  static const DISPID raw_id = IdOf(late.p, L"RawMessage");
  std::printf("(RawMessage: %.1f MiB of text)\n", text.size() / 1048576.0);

  Task get{"RawMessage get", 1, {}};
  get.variants.push_back({"engine", [] {
                            const Stopwatch watch;
                            vesk::StringStream out;
                            vesk::WriteMessage(out, *entity);
                            return watch.Stop();
                          }});
  get.variants.push_back({"vtable", [] {
                            const Stopwatch watch;
                            BSTR raw = nullptr;
                            Check(message->get_RawMessage(&raw), "RawMessage get");
                            SysFreeString(raw);
                            return watch.Stop();
                          }});
  get.variants.push_back({"IDispatch", [] {
                            const Stopwatch watch;
                            VARIANT result;
                            VariantInit(&result);
                            Check(Invoke(late.p, raw_id, DISPATCH_PROPERTYGET, {}, &result), "RawMessage get");
                            VariantClear(&result);
                            return watch.Stop();
                          }});
  Task put{"RawMessage put", 1, {}};
  put.variants.push_back({"engine", [] {
                            const Stopwatch watch;
                            vesk::StringStream in(text);
                            vesk::ReadMessage(in, *entity);
                            return watch.Stop();
                          }});
  put.variants.push_back({"vtable", [] {
                            const Stopwatch watch;
                            Check(message->put_RawMessage(wide.s), "RawMessage put");
                            return watch.Stop();
                          }});
  put.variants.push_back({"IDispatch", [] {
                            const Stopwatch watch;
                            Check(Invoke(late.p, raw_id, DISPATCH_PROPERTYPUT, {Text(wide.s)}, nullptr), "RawMessage put");
                            return watch.Stop();
                          }});
  return {get, put};
}

Task AttachmentsTask() {
  static const std::string text = MultipartMessage(kAttachments, 2048);
  static vesk::Ref<vesk::MessageEntity> entity = vesk::MakeRef<vesk::MessageEntity>();
  {
    vesk::StringStream in(text);
    vesk::ReadMessage(in, *entity);
  }
  static Ptr<IMIMEMessage> message;
  Create(CLSID_MIMEMessage, IID_IMIMEMessage, message);
  OwnedBstr wide(text);
  Check(message->put_RawMessage(wide.s), "RawMessage put");

  Task task{"Attachments walk", kWalks, {}};
  task.variants.push_back({"engine", [] {
                             size_t total = 0;
                             const Stopwatch watch;
                             for (int walk = 0; walk < kWalks; ++walk) {
                               vesk::Ref<vesk::AttachmentList> list = vesk::MakeRef<vesk::AttachmentList>(entity);
                               const size_t count = list->Count();
                               for (size_t i = 1; i <= count; ++i) {
                                 const vesk::Ref<vesk::MimePart> part = list->Item(i);
                                 total += vesk::DecodeEncodedWords(part->FileName()).size();
                                 total += (part->type() + "/" + part->subtype()).size();
                                 total += std::string(part->content()->view()).size();
                               }
                             }
                             const Sample ms = watch.Stop();
                             if (total == 0) Fail("no attachments");
                             return ms;
                           }});
  task.variants.push_back({"vtable", [] {
                             const Stopwatch watch;
                             for (int walk = 0; walk < kWalks; ++walk) {
                               Ptr<IMimeBodies> bodies;
                               Check(message->get_Attachments(bodies.put()), "Attachments");
                               LONG count = 0;
                               Check(bodies->get_Count(&count), "Count");
                               for (LONG i = 1; i <= count; ++i) {
                                 Ptr<IMimeBody> body;
                                 Check(bodies->get_Item(i, body.put()), "Item");
                                 BSTR value = nullptr;
                                 Check(body->get_FileName(&value), "FileName");
                                 SysFreeString(value);
                                 Check(body->get_ContentType(&value), "ContentType");
                                 SysFreeString(value);
                                 Check(body->get_SimpleContent(&value), "SimpleContent");
                                 SysFreeString(value);
                               }
                             }
                             return watch.Stop();
                           }});
  task.variants.push_back({"IDispatch", [] {
                             Ptr<IDispatch> late;
                             Check(message->QueryInterface(IID_IDispatch, late.put_void()), "IDispatch");
                             const DISPID attachments = IdOf(late.p, L"Attachments");
                             DISPID count_id = 0, item_id = DISPID_VALUE, file_id = 0, type_id = 0, content_id = 0;
                             const Stopwatch watch;
                             for (int walk = 0; walk < kWalks; ++walk) {
                               VARIANT bodies;
                               VariantInit(&bodies);
                               Check(Invoke(late.p, attachments, DISPATCH_PROPERTYGET, {}, &bodies), "Attachments");
                               IDispatch* list = V_DISPATCH(&bodies);
                               if (walk == 0) count_id = IdOf(list, L"Count");
                               VARIANT count;
                               VariantInit(&count);
                               Check(Invoke(list, count_id, DISPATCH_PROPERTYGET, {}, &count), "Count");
                               for (LONG i = 1; i <= V_I4(&count); ++i) {
                                 VARIANT body;
                                 VariantInit(&body);
                                 Check(Invoke(list, item_id, DISPATCH_PROPERTYGET, {Long(i)}, &body), "Item");
                                 IDispatch* part = V_DISPATCH(&body);
                                 if (walk == 0 && i == 1) {
                                   file_id = IdOf(part, L"FileName");
                                   type_id = IdOf(part, L"ContentType");
                                   content_id = IdOf(part, L"SimpleContent");
                                 }
                                 for (DISPID id : {file_id, type_id, content_id}) {
                                   VARIANT value;
                                   VariantInit(&value);
                                   Check(Invoke(part, id, DISPATCH_PROPERTYGET, {}, &value), "body member");
                                   VariantClear(&value);
                                 }
                                 VariantClear(&body);
                               }
                               VariantClear(&bodies);
                             }
                             return watch.Stop();
                           }});
  return task;
}

bool Wanted(const std::string& only, const std::string& name) {
  return only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = 5;
  std::string only;  // send,retrieve,top,raw,attachments
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("/reps:", 0) == 0) repetitions = std::max(1, std::atoi(arg.c_str() + 6));
    if (arg.rfind("/only:", 0) == 0) only = arg.substr(6);
  }
  Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
  std::printf("Per message (per walk; per call for RawMessage), medians of %d runs; ratio = DLL / engine\n",
              repetitions);
  if (Wanted(only, "send") || Wanted(only, "retrieve") || Wanted(only, "top")) {
    if (CountMessages() < 0) Fail("no POP3 server on 127.0.0.1:" + Pop3Port() + " (tools/mailservers.sh start)");
  }
  // The send task leaves 1,000 messages in the mailbox for the retrievals.
  if (Wanted(only, "send")) RunTask(SendTask(), std::max(1, repetitions / 2));
  if (Wanted(only, "retrieve") || Wanted(only, "top")) {
    if (CountMessages() != kMessages) {
      EmptyMailbox();
      vesk::SmtpClient client;
      client.set_host("127.0.0.1");
      client.set_port(PortOf(SmtpPort()));
      if (!client.Connect()) Fail("SMTP: " + client.last_error());
      Ptr<IMIMEMessage> message;
      MakeSmallMessage(message);
      BSTR raw = nullptr;
      Check(message->get_RawMessage(&raw), "RawMessage");
      const std::string text = Narrow(raw);
      SysFreeString(raw);
      for (int i = 0; i < kMessages; ++i) client.Send(kSender, {Address()}, text);
      client.Disconnect();
      if (!WaitForCount(kMessages)) Fail("the server did not deliver every message");
    }
  }
  if (Wanted(only, "retrieve")) RunTask(RetrieveTask("Retrieve", -1), repetitions);
  if (Wanted(only, "top")) RunTask(RetrieveTask("RetrieveTop", kTopLines), repetitions);
  if (Wanted(only, "raw")) {
    for (const Task& task : RawMessageTasks()) RunTask(task, repetitions);
  }
  if (Wanted(only, "attachments")) RunTask(AttachmentsTask(), repetitions);
  // For the VBScript driver: the engine's medians in milliseconds per run.
  // For the script: every variant's median of the send task, per run.
  if (!send_medians.empty()) {
    std::printf("send-ms");
    for (const auto& [name, ms] : send_medians) std::printf(" %s=%.3f", name.c_str(), ms);
    std::printf("\n");
  }
  std::printf("engine-ms");
  for (const auto& [name, ms] : engine_medians) {
    std::string key = name;
    std::replace(key.begin(), key.end(), ' ', '-');
    std::printf(" %s=%.3f", key.c_str(), ms);
  }
  std::printf("\n");
  // COM stays initialised: the messages the tasks keep are released at exit.
  return 0;
}
