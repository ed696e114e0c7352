// Servers that go away or freeze in the middle of a transfer. The sessions
// also run in eight threads at once; tools/test.sh builds that test with
// ThreadSanitizer, so a data race in what the clients share fails it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "engine/common/messages.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::StartsWith;
using testing::Exchange;

struct Session {
  std::function<void(std::uint16_t)> aim;
  std::function<bool()> connect, transfer, connected;
  std::function<std::string()> error;
};

// `gone` answers the log-in and the start of the transfer, then closes while
// the client waits for the rest: the transfer fails within the time-out
// (500 ms), the client is not connected, a second try fails at once saying
// so (an IMAP4 tag goes by), a second Connect while connected to `back`
// fails and leaves that session alone, and there the transfer succeeds.
void GoesAwayAndComesBack(const Session& s, const std::vector<Exchange>& gone_script,
                          const std::vector<Exchange>& back_script) {
  testing::FakeServer gone, back;
  testing::ScriptDialogue(gone, gone_script), testing::ScriptDialogue(back, back_script);
  gone.Pause(300).Close().Start(), back.Start();
  s.aim(gone.port());
  ASSERT_TRUE(s.connect()) << s.error();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.transfer());
  EXPECT_LT(testing::MillisecondsSince(start), 1200);  // (a loaded machine is slow)
  EXPECT_THAT(s.error(), StartsWith("Socket error # 100"));
  EXPECT_FALSE(s.connected() || s.transfer());
  EXPECT_EQ(s.error(), FormatMessageText(kMsgConnectionEnded, 10057));
  s.aim(back.port());
  EXPECT_TRUE(s.connect() && !s.connect() && s.connected() && s.transfer()) << s.error();
  back.Finish();
  EXPECT_THAT(back.Problems(), ::testing::IsEmpty());
}

template <class C>
Session SessionOf(C& c, std::function<bool()> transfer) {
  return {[&c](std::uint16_t port) { c.set_port(port); }, [&c] { return c.Connect(); }, std::move(transfer),
          [&c] { return c.connected(); }, [&c] { return c.last_error(); }};
}

void SmtpGoesAwayDuringData() {
  SmtpClient c;
  c.set_host("127.0.0.1"), c.set_timeout_ms(500), c.set_helo_name("t");
  const std::vector<Exchange> gone = {{{}, "220 hi\r\n"},           {{"HELO t"}, "250 hi\r\n"},
                                      {{"MAIL From: <a@t>"}, "250 ok\r\n"}, {{"RCPT TO: <b@t>"}, "250 ok\r\n"},
                                      {{"DATA"}, "354 go\r\n"}};
  std::vector<Exchange> script = gone;
  script.push_back({{"Subject: x", "", "body", "."}, "250 queued\r\n"});
  GoesAwayAndComesBack(SessionOf(c, [&] { return c.Send("a@t", {"b@t"}, "Subject: x\r\n\r\nbody\r\n"); }), gone, script);
}

void Pop3GoesAwayDuringRetr() {
  Pop3Client c;
  c.set_host("127.0.0.1"), c.set_timeout_ms(500), c.set_user("u"), c.set_password("p");
  std::vector<Exchange> gone = {{{}, "+OK\r\n"}, {{"USER u"}, "+OK\r\n"}, {{"PASS p"}, "+OK\r\n"}, {{"STAT"}, "+OK 1 30\r\n"}};
  std::vector<Exchange> back = gone;
  gone.push_back({{"RETR 1"}, "+OK\r\nSubject: x\r\n"});
  back.push_back({{"RETR 1"}, "+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n"});
  GoesAwayAndComesBack(SessionOf(c, [&] { return c.Retrieve(1); }), gone, back);
}

void ImapGoesAwayDuringFetch() {
  ImapClient c;
  c.set_host("127.0.0.1"), c.set_timeout_ms(500), c.set_user("u"), c.set_password("p");
  const auto tag = [&](int n) { return c.tag_prefix() + std::to_string(n); };
  const auto session = [&](int first, std::string fetched) {
    return std::vector<Exchange>{{{}, "* OK hi\r\n"},
                                 {{tag(first) + " LOGIN u p"}, tag(first) + " OK\r\n"},
                                 {{tag(first + 1) + " LIST \"\" \"\""}, tag(first + 1) + " OK\r\n"},
                                 {{tag(first + 2) + " FETCH 1:1 RFC822"}, "* 1 FETCH (RFC822 {22}\r\n" + fetched}};
  };
  GoesAwayAndComesBack(SessionOf(c, [&] { return c.Retrieve(1); }),
                       session(0, "Subject: x\r\n"), session(4, "Subject: x\r\n\r\nbody\r\n)\r\n" + tag(6) + " OK\r\n"));
}

TEST(BrokenSession, ServerGoesAwayMidTransferAndComesBack) {
  SmtpGoesAwayDuringData(), Pop3GoesAwayDuringRetr(), ImapGoesAwayDuringFetch();
}

TEST(ParallelSessions, EightThreadsWithTheirOwnClients) {
  std::vector<std::thread> threads(8);
  for (std::thread& t : threads) t = std::thread([] { SmtpGoesAwayDuringData(), Pop3GoesAwayDuringRetr(), ImapGoesAwayDuringFetch(); });
  for (std::thread& t : threads) t.join();
}

// A server that answers up to DATA and then never reads: a message larger
// than every buffer on the way costs the time-out, not forever.
TEST(BrokenSession, FrozenServerCostsTheTimeOutOnWrites) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), length), ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::thread frozen([listener] {
    const int peer = ::accept(listener, nullptr, nullptr);
    ::send(peer, "220 hi\r\n250 hi\r\n250 ok\r\n250 ok\r\n354 go\r\n", 40, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    ::close(peer), ::close(listener);
  });
  SmtpClient c;
  c.set_host("127.0.0.1"), c.set_port(static_cast<std::int16_t>(ntohs(address.sin_port))), c.set_timeout_ms(500);
  const std::string big = "Subject: big\r\n\r\n" + std::string(8 << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.Connect() && c.Send("a@t", {"b@t"}, big));
  EXPECT_LT(testing::MillisecondsSince(start), 2500);
  EXPECT_EQ(c.last_error(), "Socket error # 10060");
  EXPECT_FALSE(c.connected());
  frozen.join();
}

}  // namespace
}  // namespace vesk
