// A message object of this library goes on the wire as the bytes Save writes
// (without Bcc), in both modes, whatever bytes it holds: a loaded message
// whose text is ISO-8859-1 in 8bit, with bytes that are no UTF-8 and bytes
// that no character of the ANSI code page stands for. A recording server on
// loopback keeps what SMTP DATA and IMAP APPEND carried.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "automation/support.h"

namespace vesk::test {
namespace {

// One client, one dialogue: greets, answers every command, and keeps the
// message of the first DATA (SMTP, dot-stuffing undone) or APPEND literal
// (IMAP).
class RecordingServer {
 public:
  enum class Kind { kSmtp, kImap };
  explicit RecordingServer(Kind kind) : kind_(kind) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RecordingServer() {
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
    WSACleanup();
  }
  short port() const { return static_cast<short>(port_); }  // the same bits, as Port takes them
  // What the message carried; call once the client has disconnected.
  const std::string& Message() {
    if (thread_.joinable()) thread_.join();
    return message_;
  }

 private:
  bool Fill() {
    char chunk[4096];
    const int got = recv(client_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(got));
    return true;
  }
  bool Line(std::string& line) {
    size_t end;
    while ((end = pending_.find("\r\n")) == std::string::npos) {
      if (!Fill()) return false;
    }
    line = pending_.substr(0, end);
    pending_.erase(0, end + 2);
    return true;
  }
  void Say(const std::string& text) { send(client_, text.data(), static_cast<int>(text.size()), 0); }

  void Serve() {
    client_ = accept(listener_, nullptr, nullptr);
    if (client_ == INVALID_SOCKET) return;
    // Nothing waits longer than the test would.
    const DWORD timeout = 10000;
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (kind_ == Kind::kSmtp) {
      ServeSmtp();
    } else {
      ServeImap();
    }
    closesocket(client_);
  }

  void ServeSmtp() {
    Say("220 recorder\r\n");
    std::string line;
    while (Line(line)) {
      if (line == "DATA") {
        Say("354 go ahead\r\n");
        std::string data;
        while (Line(line) && line != ".") data += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
        message_ = data;
        Say("250 queued\r\n");
      } else if (line == "QUIT") {
        Say("221 bye\r\n");
        return;
      } else {
        Say("250 ok\r\n");
      }
    }
  }

  void ServeImap() {
    Say("* OK recorder\r\n");
    std::string line;
    while (Line(line)) {
      const std::string tag = line.substr(0, line.find(' '));
      const size_t brace = line.rfind('{');
      if (line.find(" APPEND ") != std::string::npos && brace != std::string::npos) {
        const size_t size = std::stoul(line.substr(brace + 1));
        Say("+ go ahead\r\n");
        while (pending_.size() < size + 2 && Fill()) {
        }
        message_ = pending_.substr(0, size);
        pending_.erase(0, std::min(pending_.size(), size + 2));
        Say(tag + " OK appended\r\n");
      } else if (line.find(" LOGOUT") != std::string::npos) {
        Say("* BYE\r\n" + tag + " OK done\r\n");
        return;
      } else {
        Say(tag + " OK done\r\n");
      }
    }
  }

  Kind kind_;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread thread_;
  std::string pending_;
  std::string message_;
};

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

std::string ReadAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out << bytes;
}

const std::string kLoaded =
    "From: \"Gr\xFC\xDF" "e\" <anna@example.com>\r\nTo: bob@example.com\r\nBcc: eve@example.com\r\n"
    "Subject: Gr\xFC\xDF" "e aus K\xF6ln\r\nDate: Mon, 07 Dec 2026 12:00:00 +0100\r\nMessage-ID: <1@example.com>\r\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\r\nMIME-Version: 1.0\r\n\r\n"
    "--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
    "Gr\xFC\xDF" "e aus K\xF6ln \x81\x8D\x8F\x90\x9D \xC3(\r\n.a line with a period\r\n"
    "--b\r\nContent-Type: application/octet-stream; name=\"r\xE9sum\xE9.bin\"\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n\x80\x81\xFE\xFF\r\n--b--\r\n";

struct Loaded {
  ComPtr<IMIMEMessageEx> message;
  std::string saved;
};

Loaded LoadInMode(const wchar_t* charset) {
  Loaded loaded;
  EXPECT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", loaded.message), S_OK);
  Bstr mode(charset), source(TempPath(L"vesk-bytes-in.eml").c_str()), copy(TempPath(L"vesk-bytes-saved.eml").c_str());
  WriteAll(source.get(), kLoaded);
  EXPECT_EQ(loaded.message->put_Charset(mode.get()), S_OK);
  EXPECT_EQ(loaded.message->Load(source.get()), S_OK);
  EXPECT_EQ(loaded.message->Save(copy.get()), S_OK);
  loaded.saved = ReadAll(copy.get());
  DeleteFileW(source.get());
  DeleteFileW(copy.get());
  return loaded;
}

TEST(MessageBytes, SmtpSendsTheSavedBytesWithoutBccInBothModes) {
  for (const wchar_t* charset : {L"", L"utf-8"}) {
    Loaded loaded = LoadInMode(charset);
    const size_t bcc = loaded.saved.find("Bcc: eve@example.com\r\n");
    ASSERT_NE(bcc, std::string::npos) << loaded.saved;
    const std::string expected = std::string(loaded.saved).erase(bcc, 22);
    ASSERT_NE(expected.find("K\xF6ln \x81\x8D\x8F\x90\x9D \xC3("), std::string::npos) << "Save keeps the bytes";

    RecordingServer server(RecordingServer::Kind::kSmtp);
    ComPtr<IVeskSMTP> smtp;
    ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
    Bstr host(L"127.0.0.1");
    ASSERT_EQ(smtp->put_Host(host.get()), S_OK);
    ASSERT_EQ(smtp->put_Port(server.port()), S_OK);
    ASSERT_EQ(smtp->Connect(), S_OK);
    EXPECT_EQ(smtp->Send(loaded.message.get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(smtp->Disconnect(), S_OK);
    EXPECT_EQ(server.Message(), expected) << "mode \"" << Narrow(charset) << "\"";
  }
}

TEST(MessageBytes, ImapAppendsTheSavedBytesInBothModes) {
  for (const wchar_t* charset : {L"", L"utf-8"}) {
    Loaded loaded = LoadInMode(charset);
    RecordingServer server(RecordingServer::Kind::kImap);
    ComPtr<IVeskIMAP4> imap;
    ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
    Bstr host(L"127.0.0.1"), box(L"INBOX");
    ASSERT_EQ(imap->put_Host(host.get()), S_OK);
    ASSERT_EQ(imap->put_Port(server.port()), S_OK);
    ASSERT_EQ(imap->Connect(), S_OK);
    ComPtr<IMIMEMessage> catalogued;
    ASSERT_EQ(loaded.message.As(catalogued), S_OK);
    EXPECT_EQ(imap->AppendMessage(box.get(), catalogued.get()), S_OK);
    EXPECT_EQ(imap->Disconnect(), S_OK);
    EXPECT_EQ(server.Message(), loaded.saved) << "mode \"" << Narrow(charset) << "\"";
  }
}

}  // namespace
}  // namespace vesk::test
