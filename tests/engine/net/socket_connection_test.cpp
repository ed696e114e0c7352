#include "engine/net/socket_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/platform/sockets.h"
#include "support/elapsed.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::FakeServer;

constexpr int kErrTimedOut = 10060;

using testing::MillisecondsSince;

// CPU time of the calling thread: a wait that spins shows up here.
long long ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

std::unique_ptr<SocketConnection> ConnectTo(const FakeServer& server) {
  auto connection = std::make_unique<SocketConnection>();
  EXPECT_TRUE(connection->Create());
  EXPECT_TRUE(connection->ConnectTo("127.0.0.1", server.port()));
  return connection;
}

struct RawRead {
  int result;
  std::string text;
  bool complete;
  friend bool operator==(const RawRead&, const RawRead&) = default;
  friend std::ostream& operator<<(std::ostream& out, const RawRead& read) {
    return out << "{" << read.result << ", \"" << read.text << "\", " << read.complete << "}";
  }
};

struct RawReadCase {
  const char* name;
  std::vector<std::string> packets;  // sent 20 ms apart
  std::size_t size;                  // the caller's buffer size S
  std::vector<RawRead> reads;
};

std::vector<RawReadCase> RawReadCases() {
  const std::string x259(259, 'x');
  const std::string x258(258, 'x');
  return {
      {"TwoLinesInOnePacket", {"+OK one\r\n+OK two\r\n"}, 260,
       {{7, "+OK one", true}, {7, "+OK two", true}}},
      {"LineInTwoPackets", {"+OK hal", "f and half\r\n"}, 260, {{17, "+OK half and half", true}}},
      {"CrLfInTwoPackets", {"250 ok\r", "\n251 next\r\n"}, 260,
       {{6, "250 ok", true}, {8, "251 next", true}}},
      // The buffer fills before the LF: the line is cut and its rest, the
      // CR LF, makes an empty complete line.
      {"LineOf259BytesWithBufferOf260", {x259 + "\r\n+OK\r\n"}, 260,
       {{259, x259, false}, {0, "", true}, {3, "+OK", true}}},
      // Only a CR stored together with its LF is removed.
      {"CrIsTheLastByteThatFits", {x258 + "\r\n"}, 260, {{259, x258 + "\r", false}, {0, "", true}}},
      {"LfWithoutCr", {"abc\ndef\r\n"}, 260, {{3, "abc", true}, {3, "def", true}}},
      {"CrInsideALineStays", {"a\rb\r\r\n"}, 260, {{4, "a\rb\r", true}}},
      {"EmptyLines", {"\r\n\n"}, 260, {{0, "", true}, {0, "", true}}},
      {"NulInsideALine", {std::string("a\0b\r\n", 5)}, 260, {{3, std::string("a\0b", 3), true}}},
      {"TinyBuffer", {"abcd\r\n"}, 3, {{2, "ab", false}, {2, "cd", false}, {0, "", true}}},
  };
}

class RawLineReads : public ::testing::TestWithParam<RawReadCase> {};

TEST_P(RawLineReads, GiveExactlyOneLineOrTheCutPartPerRead) {
  const RawReadCase& c = GetParam();
  FakeServer server;
  for (const std::string& packet : c.packets) server.Send(packet).Pause(20);
  server.Start();
  auto connection = ConnectTo(server);
  std::vector<RawRead> reads;
  std::vector<char> buffer(c.size, '#');
  for (std::size_t i = 0; i < c.reads.size(); ++i) {
    bool complete = false;
    int result = connection->ReadLineRaw(buffer.data(), buffer.size(), 2000, complete);
    ASSERT_GE(result, 0) << "read " << i << " failed with " << connection->LastError();
    EXPECT_EQ(buffer[result], '\0');
    reads.push_back({result, std::string(buffer.data(), result), complete});
  }
  EXPECT_EQ(reads, c.reads);
}

INSTANTIATE_TEST_SUITE_P(SocketConnection, RawLineReads, ::testing::ValuesIn(RawReadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SocketConnection, ResponseLineIsCutAndItsRestDiscarded) {
  const std::string long_line(2000, 'y');
  FakeServer server;
  server.Send(std::string(259, 'x') + "\r\n" + long_line + "\r\n250 next\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  EXPECT_EQ(connection->ReadResponseLine(line, sizeof line, 2000), 259);
  EXPECT_EQ(std::string(line), std::string(259, 'x'));
  EXPECT_EQ(connection->ReadResponseLine(line, sizeof line, 2000), 259);
  EXPECT_EQ(std::string(line), std::string(259, 'y'));
  EXPECT_EQ(connection->ReadResponseLine(line, sizeof line, 2000), 8);
  EXPECT_STREQ(line, "250 next");
}

TEST(SocketConnection, LineSplitOverAPauseArrivesWholeWithoutTimeOut) {
  FakeServer server;
  server.Send("+OK hel").Pause(300).Send("lo\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 5000), 9);
  EXPECT_STREQ(line, "+OK hello");
  EXPECT_GE(MillisecondsSince(start), 250);
}

// Bytes that keep coming, however slowly, restart the inactivity count: the
// whole line takes longer than the time-out without failing.
TEST(SocketConnection, SlowButSteadyServerNeverTimesOut) {
  FakeServer server;
  server.Send("a").Pause(300).Send("b").Pause(300).Send("c").Pause(300).Send("\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 500), 3);
  EXPECT_STREQ(line, "abc");
}

// A pause between polls ends when bytes arrive: with pauses of a second, a
// reply sent after 50 ms must not wait for the pause to run out.
TEST(SocketConnection, ReplyEndsThePauseItArrivesIn) {
  FakeServer server;
  server.Pause(50).Send("+OK\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 50000), 3);
  EXPECT_LT(MillisecondsSince(start), 800);
}

struct SilenceCase {
  const char* name;
  int timeout_ms;
  long long at_least_ms;
  long long at_most_ms;
};

class Silence : public ::testing::TestWithParam<SilenceCase> {};

// 50 empty polls with 49 pauses of TimeOut/50 between them; below 50 ms the
// pause is 0 and the polls follow each other at once.
TEST_P(Silence, FailsWith10060AfterTheInactivityPeriod) {
  const SilenceCase& c = GetParam();
  FakeServer server;
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection->ReadResponseLine(line, sizeof line, c.timeout_ms), -1);
  long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(connection->LastError(), kErrTimedOut);
  EXPECT_EQ(sockets::LastError(), kErrTimedOut);
  EXPECT_GE(elapsed, c.at_least_ms);
  EXPECT_LE(elapsed, c.at_most_ms);
}

INSTANTIATE_TEST_SUITE_P(SocketConnection, Silence,
                         ::testing::Values(SilenceCase{"TimeOut500", 500, 440, 3000},
                                           SilenceCase{"TimeOutBelow50", 49, 0, 1000},
                                           SilenceCase{"TimeOutZero", 0, 0, 1000},
                                           SilenceCase{"NegativeTimeOutActsAsZero", -5, 0, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BlockCase {
  const char* name;
  std::string sent;
  std::string text;
};

std::vector<BlockCase> BlockCases() {
  const std::string line1500(1500, 'q');
  const std::string big = "." + std::string(200000, 'b');
  return {
      {"DoubledPeriodIsUndone", "a\r\n..b\r\n.\r\n", "a\n.b\n"},
      {"LongLineStaysWhole", line1500 + "\r\n.\r\n", line1500 + "\n"},
      {"EmptyBlock", ".\r\n", ""},
      {"EmptyLinesKept", "\r\n\r\nz\r\n.\r\n", "\n\nz\n"},
      {"LfOnlyLineEnds", "a\n..\n.\n", "a\n.\n"},
      {"PeriodNotAloneIsText", ". \r\n.x\r\n.\r\n", " \nx\n"},
      {"CrInsideLineStays", "a\rb\r\n.\r\n", "a\rb\n"},
      {"LineLongerThanAnyBufferWithDoubledPeriod", "." + big + "\r\n.\r\n", big + "\n"},
  };
}

class DotTerminatedBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DotTerminatedBlocks, GiveTheLinesJoinedWithLf) {
  const BlockCase& c = GetParam();
  FakeServer server;
  server.Send(c.sent + "+OK after\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  std::string text = "left over";
  ASSERT_TRUE(connection->ReadDotTerminated(text, 2000)) << connection->LastError();
  EXPECT_EQ(text, c.text);
  char line[260];
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 2000), 9);
  EXPECT_STREQ(line, "+OK after");
}

INSTANTIATE_TEST_SUITE_P(SocketConnection, DotTerminatedBlocks, ::testing::ValuesIn(BlockCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Wherever the receives happen to cut the stream, a CR is removed only when
// an LF follows it, and no byte is lost or doubled.
TEST(SocketConnection, DotTerminatedBlockSurvivesEveryCutNearLineEnds) {
  std::string sent;
  std::string expected;
  for (std::size_t length : {65533u, 65534u, 65535u, 65536u, 65537u, 131071u, 131072u, 7u}) {
    std::string line(length, static_cast<char>('a' + length % 26));
    line[length / 2] = '\r';
    sent += line + "\r\n";
    expected += line + "\n";
  }
  FakeServer server;
  for (std::size_t at = 0; at < sent.size(); at += 40000) server.Send(sent.substr(at, 40000));
  server.Send(".\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  std::string text;
  ASSERT_TRUE(connection->ReadDotTerminated(text, 2000));
  EXPECT_EQ(text.size(), expected.size());
  EXPECT_TRUE(text == expected);
}

TEST(SocketConnection, CloseInTheMiddleOfABlockTimesOutWithoutSpinning) {
  FakeServer server;
  server.Send("a\r\nb").Close();
  server.Start();
  auto connection = ConnectTo(server);
  std::string text;
  auto start = std::chrono::steady_clock::now();
  long long cpu_before = ThreadCpuMilliseconds();
  EXPECT_FALSE(connection->ReadDotTerminated(text, 500));
  EXPECT_EQ(connection->LastError(), kErrTimedOut);
  EXPECT_GE(MillisecondsSince(start), 440);
  EXPECT_LT(ThreadCpuMilliseconds() - cpu_before, 250);
  EXPECT_EQ(text, "a\n");
}

TEST(SocketConnection, ResetPeerIsReportedLikeAClosedOne) {
  FakeServer server;
  server.Send("hello\r\n").Pause(100).Reset();
  server.Start();
  auto connection = ConnectTo(server);
  char line[260];
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 500), 5);
  auto start = std::chrono::steady_clock::now();
  long long cpu_before = ThreadCpuMilliseconds();
  EXPECT_EQ(connection->ReadResponseLine(line, sizeof line, 500), -1);
  EXPECT_EQ(connection->LastError(), kErrTimedOut);
  EXPECT_GE(MillisecondsSince(start), 440);
  EXPECT_LT(ThreadCpuMilliseconds() - cpu_before, 250);
}

// Whole lines and exact byte counts, as an IMAP literal needs them, come out
// of the same stream as the cut reply lines.
TEST(SocketConnection, WholeLinesAndLiteralsShareTheStream) {
  const std::string long_line(100000, 'L');
  FakeServer server;
  server.Send("* 1 FETCH (BODY[] {12}\r\nhello\r\nworld").Pause(30).Send(")\r\n");
  server.Send(long_line + "\r").Pause(30).Send("\nA1 OK done\r\n");
  server.Start();
  auto connection = ConnectTo(server);
  std::string line;
  ASSERT_TRUE(connection->ReadLine(line, 2000));
  EXPECT_EQ(line, "* 1 FETCH (BODY[] {12}");
  std::string literal = "prefix:";
  ASSERT_TRUE(connection->ReadBytes(literal, 12, 2000));
  EXPECT_EQ(literal, "prefix:hello\r\nworld");
  ASSERT_TRUE(connection->ReadLine(line, 2000));
  EXPECT_EQ(line, ")");
  ASSERT_TRUE(connection->ReadLine(line, 2000));
  EXPECT_TRUE(line == long_line) << "length " << line.size();
  char reply[260];
  ASSERT_EQ(connection->ReadResponseLine(reply, sizeof reply, 2000), 10);
  EXPECT_STREQ(reply, "A1 OK done");
}

TEST(SocketConnection, LiteralCutShortByTheServerTimesOut) {
  FakeServer server;
  server.Send("abc").Close();
  server.Start();
  auto connection = ConnectTo(server);
  std::string bytes;
  EXPECT_FALSE(connection->ReadBytes(bytes, 10, 200));
  EXPECT_EQ(connection->LastError(), kErrTimedOut);
}

TEST(SocketConnection, SendHandsOverEveryByte) {
  std::string payload(8 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('A' + i % 23);
  FakeServer server;
  server.Start();
  auto connection = ConnectTo(server);
  EXPECT_EQ(connection->SendBytes(payload), static_cast<int>(payload.size()));
  connection->Close();
  server.Finish();
  EXPECT_EQ(server.Received().size(), payload.size());
  EXPECT_TRUE(server.Received() == payload);
}

TEST(SocketConnection, SendToAClosedPeerFailsWithoutSignal) {
  FakeServer server;
  server.Close();
  server.Start();
  auto connection = ConnectTo(server);
  const std::string chunk(1024, 'z');
  int result = 0;
  for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
    result = connection->SendBytes(chunk);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(connection->LastError(), sockets::kErrConnectionReset);
}

TEST(SocketConnection, ConnectsByDottedAddressAndByName) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    FakeServer server;
    server.Send("hi\r\n");
    server.Start();
    SocketConnection connection;
    ASSERT_TRUE(connection.Create());
    ASSERT_TRUE(connection.ConnectTo(host, server.port())) << host;
    char line[16];
    EXPECT_EQ(connection.ReadResponseLine(line, sizeof line, 2000), 2) << host;
  }
}

TEST(SocketConnection, NameThatDoesNotResolveGives10022) {
  SocketConnection connection;
  ASSERT_TRUE(connection.Create());
  EXPECT_FALSE(connection.ConnectTo(testing::UnresolvableHostName(), 25));
  EXPECT_EQ(connection.LastError(), sockets::kErrInvalid);
  EXPECT_EQ(sockets::LastError(), sockets::kErrInvalid);
}

TEST(SocketConnection, RefusedConnectionGives10061) {
  SocketConnection connection;
  ASSERT_TRUE(connection.Create());
  EXPECT_FALSE(connection.ConnectTo("127.0.0.1", testing::UnusedLoopbackPort()));
  EXPECT_EQ(connection.LastError(), sockets::kErrConnectionRefused);
}

// One socket per connection object: connecting it again is refused.
TEST(SocketConnection, SecondConnectIsRefused) {
  FakeServer first;
  FakeServer second;
  first.Start();
  second.Start();
  auto connection = ConnectTo(first);
  EXPECT_FALSE(connection->ConnectTo("127.0.0.1", second.port()));
  EXPECT_EQ(connection->LastError(), sockets::kErrAlreadyConnected);
}

TEST(SocketConnection, CloseIsHarmlessWithoutSocketAndTwice) {
  SocketConnection never_created;
  EXPECT_TRUE(never_created.Close());

  FakeServer server;
  server.Start();
  auto connection = ConnectTo(server);
  EXPECT_TRUE(connection->Close());
  EXPECT_TRUE(connection->Close());
  EXPECT_FALSE(connection->HasSocket());
}

TEST(SocketConnection, OperationsWithoutSocketFailWith10038) {
  SocketConnection connection;
  char line[16];
  bool complete = true;
  std::string text;
  EXPECT_FALSE(connection.ConnectTo("127.0.0.1", 25));
  EXPECT_EQ(connection.LastError(), sockets::kErrNotSocket);
  EXPECT_EQ(connection.SendBytes("x"), -1);
  EXPECT_EQ(connection.ReadLineRaw(line, sizeof line, 1000, complete), -1);
  EXPECT_FALSE(complete);
  EXPECT_EQ(connection.ReadResponseLine(line, sizeof line, 1000), -1);
  EXPECT_FALSE(connection.ReadDotTerminated(text, 1000));
  EXPECT_FALSE(connection.ReadLine(text, 1000));
  EXPECT_FALSE(connection.ReadBytes(text, 1, 1000));
  EXPECT_EQ(connection.LastError(), sockets::kErrNotSocket);
}

}  // namespace
}  // namespace vesk
