#include "engine/net/socket_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/platform/sockets.h"
#include "engine/protocols/pop3_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::FakeServer;
using testing::MillisecondsSince;
using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: a wait that spins shows up here.
long long ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

std::unique_ptr<SocketConnection> ConnectTo(FakeServer& server) {
  server.Start();
  auto connection = std::make_unique<SocketConnection>();
  EXPECT_TRUE(connection->Create());
  EXPECT_TRUE(connection->ConnectTo("127.0.0.1", server.port()));
  return connection;
}

// Each read gives one line: a line longer than the buffer is cut and its
// rest discarded; a line or its CR LF split over packets arrives whole; an LF
// alone ends a line too.
TEST(SocketConnection, ResponseLinesAreCutAndJoinedAcrossPackets) {
  FakeServer server;
  server.Send(std::string(259, 'x') + "\r\n" + std::string(2000, 'y') + "\r\n250 n").Pause(20).Send("ext\r");
  server.Pause(20).Send("\nabc\n\r\n");
  auto connection = ConnectTo(server);
  std::vector<std::string> lines;
  char line[260];
  for (int i = 0; i < 5; ++i) {
    ASSERT_GE(connection->ReadResponseLine(line, sizeof line, 2000), 0) << i;
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{std::string(259, 'x'), std::string(259, 'y'), "250 next", "abc", ""}));
}

// Only silence ends a read, once the inactivity period has passed: 50 empty
// polls with 49 pauses of TimeOut/50 between them (below 50 ms the pause is
// 0 and the polls follow each other at once). Bytes that keep coming, however
// slowly, restart the count, and a pause between polls ends as soon as bytes
// arrive. A peer that closed (in the middle of a block) or reset the
// connection is reported as a time-out too, without spinning meanwhile.
struct TimingCase {
  const char* name;
  std::function<void(FakeServer&)> script;
  int timeout_ms;
  std::string text;  // what the read gives; "" for a read that times out
  long long at_least_ms, at_most_ms;
  bool block = false;  // a dot-terminated block, not a reply line
};

void PrintTo(const TimingCase& c, std::ostream* out) { *out << c.name; }

class Timing : public ::testing::TestWithParam<TimingCase> {};

TEST_P(Timing, OnlySilenceEndsARead) {
  const TimingCase& c = GetParam();
  FakeServer server;
  c.script(server);
  auto connection = ConnectTo(server);
  std::string text;
  char line[260] = "";
  const auto start = Clock::now();
  const long long cpu_before = ThreadCpuMilliseconds();
  const bool read = c.block ? ReadDotTerminated(*connection, text, c.timeout_ms)
                            : connection->ReadResponseLine(line, sizeof line, c.timeout_ms) >= 0;
  if (!c.block && read) text = line;
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(read, !c.block && !c.text.empty());
  EXPECT_EQ(text, c.text);
  if (!read) EXPECT_EQ(connection->LastError(), sockets::kErrTimedOut);
  if (!read && !c.block) EXPECT_EQ(sockets::LastError(), sockets::kErrTimedOut);
  EXPECT_GE(elapsed, c.at_least_ms);
  EXPECT_LE(elapsed, c.at_most_ms);
  EXPECT_LT(ThreadCpuMilliseconds() - cpu_before, 250);
}

const TimingCase kTimings[] = {
    {"Silence", [](FakeServer&) {}, 500, "", 440, 3000},
    {"SilenceBelow50Ms", [](FakeServer&) {}, 49, "", 0, 1000},
    {"SilenceWithANegativeTimeOut", [](FakeServer&) {}, -5, "", 0, 1000},
    {"SlowButSteady",
     [](FakeServer& s) { s.Send("a").Pause(300).Send("b").Pause(300).Send("c").Pause(300).Send("\r\n"); }, 500,
     "abc", 800, 3000},
    {"PausesOfASecondEndWhenBytesArrive", [](FakeServer& s) { s.Pause(50).Send("+OK\r\n"); }, 50000, "+OK", 0,
     800},
    {"PeerClosed", [](FakeServer& s) { s.Send("a\r\nb").Pause(100).Close(); }, 500, "a\n", 440, 3000, true},
    {"PeerReset", [](FakeServer& s) { s.Send("a\r\nb").Pause(100).Reset(); }, 500, "a\n", 440, 3000, true},
};

INSTANTIATE_TEST_SUITE_P(SocketConnection, Timing, ::testing::ValuesIn(kTimings), testing::RowName);

struct BlockCase {
  const char* name;
  std::string sent;
  std::string text;
};

void PrintTo(const BlockCase& c, std::ostream* out) { *out << c.name; }

class DotTerminatedBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DotTerminatedBlocks, GiveTheLinesJoinedWithLf) {
  FakeServer server;
  server.Send(GetParam().sent + "+OK after\r\n");
  auto connection = ConnectTo(server);
  std::string text = "left over";
  ASSERT_TRUE(ReadDotTerminated(*connection, text, 2000)) << connection->LastError();
  EXPECT_TRUE(text == GetParam().text) << text.substr(0, 200);
  char line[260];
  ASSERT_EQ(connection->ReadResponseLine(line, sizeof line, 2000), 9);
}

// Wherever the receives cut the stream, a CR is removed only when an LF
// follows it, and no byte is lost or doubled.
std::vector<BlockCase> BlockCases() {
  std::vector<BlockCase> cases = {{"DoubledPeriodIsUndone", "a\r\n..b\r\n.\r\n", "a\n.b\n"},
                                  {"EmptyBlock", ".\r\n", ""},
                                  {"EmptyLinesKept", "\r\n\r\nz\r\n.\r\n", "\n\nz\n"},
                                  {"LfOnlyLineEnds", "a\n..\n.\n", "a\n.\n"},
                                  {"PeriodNotAloneIsText", ". \r\n.x\r\n.\r\n", " \nx\n"},
                                  {"CrInsideLineStays", "a\rb\r\n.\r\n", "a\rb\n"},
                                  {"LongLines", "", ""}};
  const std::string big = "." + std::string(200000, 'b');
  cases.back().sent = "." + big + "\r\n";
  cases.back().text = big + "\n";
  for (std::size_t length : {65533u, 65534u, 65535u, 65536u, 65537u, 131071u, 131072u, 7u}) {
    std::string line(length, static_cast<char>('a' + length % 26));
    line[length / 2] = '\r';
    cases.back().sent += line + "\r\n";
    cases.back().text += line + "\n";
  }
  cases.back().sent += ".\r\n";
  return cases;
}

INSTANTIATE_TEST_SUITE_P(SocketConnection, DotTerminatedBlocks, ::testing::ValuesIn(BlockCases()), testing::RowName);

// Whole lines and exact byte counts, as an IMAP literal needs them, come out
// of the same stream as the cut reply lines.
TEST(SocketConnection, WholeLinesAndLiteralsShareTheStream) {
  const std::string long_line(100000, 'L');
  FakeServer server;
  server.Send("* 1 FETCH (BODY[] {12}\r\nhello\r\nworld").Pause(30).Send(")\r\n");
  server.Send(long_line + "\r").Pause(30).Send("\nA1 OK done\r\nabc").Close();
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
  EXPECT_FALSE(connection->ReadBytes(literal, 10, 200)) << "a literal cut short by the server";
  EXPECT_EQ(connection->LastError(), sockets::kErrTimedOut);
}

// Failures as Windows Sockets numbers.
TEST(SocketConnection, ConnectingReportsWindowsSocketNumbers) {
  SocketConnection connection;
  EXPECT_FALSE(connection.ConnectTo("127.0.0.1", 25));
  EXPECT_EQ(connection.LastError(), sockets::kErrNotSocket) << "operations before Create";
  ASSERT_TRUE(connection.Create());
  EXPECT_FALSE(connection.ConnectTo(testing::UnresolvableHostName(), 25));
  EXPECT_EQ(connection.LastError(), sockets::kErrInvalid);
  EXPECT_FALSE(connection.ConnectTo("127.0.0.1", testing::UnusedLoopbackPort()));
  EXPECT_EQ(connection.LastError(), sockets::kErrConnectionRefused);
  FakeServer first, second;
  auto connected = ConnectTo(first);
  second.Start();
  EXPECT_FALSE(connected->ConnectTo("127.0.0.1", second.port())) << "one socket per connection object";
  EXPECT_EQ(connected->LastError(), sockets::kErrAlreadyConnected);
  EXPECT_TRUE(connected->Close());
  EXPECT_TRUE(connected->Close()) << "closing twice is harmless";
}

}  // namespace
}  // namespace vesk
