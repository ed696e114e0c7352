// Servers on loopback, run by the test itself:
// - A message object, of this library or of another implementation, goes on
//   the wire as the bytes Save writes (without Bcc), in both modes, whatever bytes it holds: a loaded
//   message whose text is ISO-8859-1 in 8bit, with bytes that are no UTF-8 and
//   bytes that no character of the ANSI code page stands for. A recording
//   server keeps what SMTP DATA and IMAP APPEND carried. A connected sink
//   hears Progress on the way and at the whole size, and its own failures
//   change nothing. (Progress in order, and Cancel, through the script host:
//   tests/scripts/servers/events.vbs.)
// - A reply that is slow in coming is waited for, a reply that trickles in
//   is read however long it takes, and a server that falls silent costs the
//   time-out and no more (the receives that wait under Windows Sockets).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "automation/message_model.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

// Listens on loopback, runs `serve` on a thread of its own for the first
// client and `use` here with the port (the same bits, as Port takes them),
// and returns once both are done.
void WithServer(const std::function<void(SOCKET client)>& serve, const std::function<void(short port)>& use) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  std::thread server([&] {
    const SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    serve(client);
    closesocket(client);
  });
  use(static_cast<short>(ntohs(address.sin_port)));
  closesocket(listener);
  server.join();
  WSACleanup();
}

// Runs `deliver` against a recording server on loopback for one client and
// one dialogue, and returns the message of its first SMTP DATA (dot-stuffing
// undone) or IMAP APPEND literal. The server greets and answers every command.
std::string Recorded(bool imap, const std::function<void(short port)>& deliver) {
  std::string message;
  const auto record = [&](SOCKET client) {
    const DWORD timeout = 10000;  // nothing waits longer than the test would
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string pending;
    const auto fill = [&] {
      char chunk[4096];
      const int got = recv(client, chunk, sizeof chunk, 0);
      if (got > 0) pending.append(chunk, static_cast<size_t>(got));
      return got > 0;
    };
    const auto next_line = [&](std::string& line) {
      size_t end;
      while ((end = pending.find("\r\n")) == std::string::npos) {
        if (!fill()) return false;
      }
      line = pending.substr(0, end);
      pending.erase(0, end + 2);
      return true;
    };
    const auto say = [&](const std::string& text) {
      send(client, text.data(), static_cast<int>(text.size()), 0);
    };
    say(imap ? "* OK recorder\r\n" : "220 recorder\r\n");
    for (std::string line; next_line(line);) {
      const std::string tag = line.substr(0, line.find(' '));
      const size_t brace = line.rfind('{');
      if (!imap && line == "DATA") {
        say("354 go ahead\r\n");
        bool ended = false;
        while (next_line(line) && !(ended = line == ".")) {
          message += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
        }
        if (!ended) break;
      } else if (imap && line.find(" APPEND ") != std::string::npos && brace != std::string::npos) {
        const size_t size = std::stoul(line.substr(brace + 1));
        say("+ go ahead\r\n");
        while (pending.size() < size + 2 && fill()) {
        }
        message = pending.substr(0, size);
        pending.erase(0, std::min(pending.size(), size + 2));
      } else if (line == "QUIT" || line.find(" LOGOUT") != std::string::npos) {
        say(imap ? "* BYE\r\n" + tag + " OK done\r\n" : "221 bye\r\n");
        break;
      }
      say(imap ? tag + " OK done\r\n" : "250 ok\r\n");
    }
  };
  WithServer(record, deliver);
  return message;
}

// The loaded message (with about 280 KB of text lines at its end, for
// Progress to come several times). `utf8_only` leaves out the bytes that are
// no UTF-8, which another implementation's object in the Unicode mode cannot
// hand over as text.
std::string Loaded(bool utf8_only) {
  const std::string greeting = utf8_only ? "Gr\xC3\xBC\xC3\x9F" "e" : "Gr\xFC\xDF" "e";
  std::string text =
      "From: \"" + greeting + "\" <anna@example.com>\r\nTo: bob@example.com\r\nBcc: eve@example.com\r\n"
      "Subject: " + greeting + "\r\nDate: Mon, 07 Dec 2026 12:00:00 +0100\r\nMessage-ID: <1@example.com>\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\nMIME-Version: 1.0\r\n\r\n"
      "--b\r\nContent-Type: text/plain; charset=" + (utf8_only ? "utf-8" : "iso-8859-1") +
      "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + greeting +
      (utf8_only ? "" : " aus K\xF6ln \x81\x8D\x8F\x90\x9D \xC3(") + "\r\n.a line with a period\r\n";
  if (!utf8_only) {
    text += "--b\r\nContent-Type: application/octet-stream; name=\"r\xE9sum\xE9.bin\"\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\n\x80\x81\xFE\xFF\r\n";
  }
  text += "--b\r\nContent-Type: text/plain\r\n\r\n";
  for (int i = 0; i < 6000; ++i) text += "Line " + std::to_string(i) + " of the report, long enough to count.\r\n";
  return text + "--b--\r\n";
}

// A message object of another implementation, as this library meets one: it
// answers for the message interfaces through one of ours it holds
// aggregated, but does not pass on the question that tells our own objects.
class ForeignMessage final : public IUnknown {
 public:
  HRESULT Create(IMIMEMessageEx** message) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"VeskMail.MIMEMessage", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, this, CLSCTX_INPROC_SERVER, IID_IUnknown, inner_.put_void());
    if (SUCCEEDED(hr)) hr = QueryInterface(IID_IMIMEMessageEx, reinterpret_cast<void**>(message));
    Release();  // the message now holds this object
    return hr;
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown) return *ppv = this, AddRef(), S_OK;
    if (riid == __uuidof(com::IMessageModel) || !inner_) return E_NOINTERFACE;
    return inner_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    if (--references_ != 0) return references_;
    references_ = 1;  // the inner object's last calls may come back here
    inner_.reset();
    delete this;
    return 0;
  }

 private:
  ULONG references_ = 1;
  ComPtr<IUnknown> inner_;
};

// The message loaded in a mode ("" or "utf-8"), as one of our objects or as
// another implementation's, and the bytes Save writes.
std::string LoadInMode(const wchar_t* charset, bool foreign, ComPtr<IMIMEMessage>& message) {
  ComPtr<IMIMEMessageEx> loaded;
  if (foreign) {
    EXPECT_EQ((new ForeignMessage)->Create(loaded.put()), S_OK);
  } else {
    EXPECT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", loaded), S_OK);
  }
  Bstr mode(charset), source(TempPath(L"vesk-bytes-in.eml").c_str());
  Bstr copy(TempPath(L"vesk-bytes-saved.eml").c_str());
  WriteAll(source.get(), Loaded(foreign && *charset));
  EXPECT_EQ(loaded->put_Charset(mode.get()), S_OK);
  EXPECT_EQ(loaded->Load(source.get()), S_OK);
  EXPECT_EQ(loaded->Save(copy.get()), S_OK);
  const std::string saved = ReadAll(copy.get());
  DeleteFileW(source.get());
  DeleteFileW(copy.get());
  EXPECT_EQ(loaded.As(message), S_OK);
  return saved;
}

// A sink of the event interface, as a compiled client writes one: it keeps
// every Progress it is told of and answers each with a failure of its own.
class ProgressSink final : public IDispatch {
 public:
  struct Event {
    LONG operation, done, total;
  };
  std::vector<Event> events;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID__IVeskMailEvents)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || params->cArgs != 4 || V_VT(&params->rgvarg[0]) != (VT_BYREF | VT_BOOL)) return DISP_E_MEMBERNOTFOUND;
    events.push_back({V_I4(&params->rgvarg[3]), V_I4(&params->rgvarg[2]), V_I4(&params->rgvarg[1])});
    return E_FAIL;
  }

 private:
  ULONG refs_ = 1;
};

// Connects to the recorder at `port` with `sink` listening, hands the
// message over and disconnects.
template <class Client>
void Deliver(const wchar_t* prog_id, short port, IDispatch* sink, const std::function<HRESULT(Client*)>& hand_over) {
  ComPtr<Client> client;
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  ASSERT_EQ(CreateByProgId(prog_id, client), S_OK);
  ASSERT_EQ(client.As(container), S_OK);
  ASSERT_EQ(container->FindConnectionPoint(DIID__IVeskMailEvents, point.put()), S_OK);
  ASSERT_EQ(point->Advise(sink, &cookie), S_OK);
  ASSERT_EQ(client->put_Host(Bstr(L"127.0.0.1").get()), S_OK);
  ASSERT_EQ(client->put_Port(port), S_OK);
  ASSERT_EQ(client->Connect(), S_OK);
  EXPECT_EQ(hand_over(client.get()), S_OK);
  EXPECT_EQ(client->Disconnect(), S_OK);
}

TEST(MessageBytes, SmtpAndImapCarryTheSavedBytesInBothModes) {
  for (const bool imap : {false, true}) {
    for (const wchar_t* charset : {L"", L"utf-8"}) {
     for (const bool foreign : {false, true}) {
      SCOPED_TRACE((imap ? "IMAP APPEND, mode \"" : "SMTP DATA, mode \"") + Narrow(charset) + "\"" +
                   (foreign ? ", another implementation's object" : ""));
      ComPtr<IMIMEMessage> message;
      std::string expected = LoadInMode(charset, foreign, message);
      ASSERT_TRUE((foreign && *charset) || expected.find("K\xF6ln \x81\x8D\x8F\x90\x9D \xC3(") != std::string::npos)
          << "Save keeps the bytes";
      const size_t bcc = expected.find("Bcc: eve@example.com\r\n");
      ASSERT_NE(bcc, std::string::npos) << expected;
      if (!imap) expected.erase(bcc, 22);  // only what goes to the recipients leaves out Bcc
      ProgressSink sink;
      const auto deliver = [&](short port) {
        if (imap) {
          Deliver<IVeskIMAP4>(L"VeskMail.IMAP4", port, &sink, [&](IVeskIMAP4* client) {
            return client->AppendMessage(Bstr(L"INBOX").get(), message.get());
          });
        } else {
          Deliver<IVeskSMTP>(L"VeskMail.SMTP", port, &sink, [&](IVeskSMTP* client) {
            return client->Send(message.get(), nullptr, nullptr);
          });
        }
      };
      const std::string recorded = Recorded(imap, deliver);
      const size_t same = std::mismatch(recorded.begin(), recorded.end(), expected.begin(), expected.end()).first -
                          recorded.begin();
      EXPECT_TRUE(recorded == expected) << "first difference at byte " << same << " of " << expected.size() << ": \""
                                        << recorded.substr(same, 60) << "\" for \"" << expected.substr(same, 60) << "\"";
      ASSERT_GE(sink.events.size(), 3u) << "Progress came during the transfer as well as at its end";
      const ProgressSink::Event last = sink.events.back();
      EXPECT_EQ(last.operation, imap ? TRANSFER_OPERATION_APPEND : TRANSFER_OPERATION_SEND);
      EXPECT_EQ(last.done, last.total);
      EXPECT_GT(last.total, 250000);
     }
    }
  }
}

// A POP3 server that greets after `greeting_delay_ms`, sends every reply one
// byte per `byte_gap_ms`, and answers nothing after `answered` commands.
struct SlowServer {
  int greeting_delay_ms;
  int byte_gap_ms;
  int answered;
};

// Connects a POP3 object with a time-out of `timeout_ms` to such a server:
// Connect's result, its error description and how long it took in ms.
HRESULT ConnectTo(const SlowServer& script, LONG timeout_ms, std::wstring& error, long long& spent_ms) {
  HRESULT hr = E_UNEXPECTED;
  const auto serve = [&](SOCKET client) {
    const auto say = [&](const char* text) {
      for (; *text; ++text) {
        if (script.byte_gap_ms > 0) Sleep(script.byte_gap_ms);
        send(client, text, 1, 0);
      }
    };
    Sleep(script.greeting_delay_ms);
    say("+OK slow\r\n");
    char chunk[512];
    for (int commands = 0; recv(client, chunk, sizeof chunk, 0) > 0; ++commands) {
      if (commands < script.answered) say("+OK\r\n");
    }
  };
  WithServer(serve, [&](short port) {
    ComPtr<IVeskPOP3> pop3;
    EXPECT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
    pop3->put_Host(Bstr(L"127.0.0.1").get());
    pop3->put_Port(port);
    pop3->put_User(Bstr(L"u").get());
    pop3->put_Password(Bstr(L"p").get());
    pop3->put_TimeOut(timeout_ms);
    const auto started = std::chrono::steady_clock::now();
    hr = pop3->Connect();
    spent_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    error = TakeErrorInfo().description;
  });  // the object goes first, ending the session: the server sees the close and stops
  return hr;
}

TEST(SlowServers, RepliesAreWaitedForAndOnlySilenceEndsARead) {
  std::wstring error;
  long long spent = 0;
  // A greeting after 600 ms, with a time-out of 1 s: each pause is a fiftieth
  // of it, so the greeting comes many pauses later.
  EXPECT_EQ(ConnectTo({600, 0, 99}, 1000, error, spent), S_OK) << Narrow(error);
  // A greeting that takes 1.5 s, one byte every 150 ms: longer than the
  // time-out, yet never silent for as long.
  EXPECT_EQ(ConnectTo({0, 150, 99}, 1000, error, spent), S_OK) << Narrow(error);
  EXPECT_GT(spent, 2000) << "the replies took their time";
  // No answer to USER: the call fails once the time-out has passed, not
  // sooner (a wait that ended early would count as silence) and not much later.
  EXPECT_NE(ConnectTo({0, 0, 0}, 1500, error, spent), S_OK);
  EXPECT_NE(error.find(L"10060"), std::wstring::npos) << Narrow(error);
  EXPECT_GE(spent, 1300);
  EXPECT_LT(spent, 4000);
}

}  // namespace
}  // namespace vesk::test
