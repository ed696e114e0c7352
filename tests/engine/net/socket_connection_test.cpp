// The socket connection's failures as Windows Sockets numbers, and long lines
// of a dot-terminated block (its other reads: transcripts/net.txt).

#include "engine/net/socket_connection.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/platform/sockets.h"
#include "engine/protocols/dot_terminated_block.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::FakeServer;

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
  first.Start(), second.Start();
  SocketConnection connected;
  ASSERT_TRUE(connected.Create() && connected.ConnectTo("127.0.0.1", first.port()));
  EXPECT_FALSE(connected.ConnectTo("127.0.0.1", second.port())) << "one socket per connection object";
  EXPECT_EQ(connected.LastError(), sockets::kErrAlreadyConnected);
  EXPECT_TRUE(connected.Close());
  EXPECT_TRUE(connected.Close()) << "closing twice is harmless";
}

// Lines around the size of the receive buffer, each with a CR in its middle,
// after one far longer: wherever the receives cut the stream, a CR is removed
// only when an LF follows it, and no byte is lost or doubled.
TEST(SocketConnection, LongLinesOfABlockComeWhole) {
  const std::string big = "." + std::string(200000, 'b');
  std::string sent = "." + big + "\r\n", text = big + "\n";
  for (std::size_t length : {65533u, 65534u, 65535u, 65536u, 65537u, 131071u, 131072u, 7u}) {
    std::string line(length, static_cast<char>('a' + length % 26));
    line[length / 2] = '\r';
    sent += line + "\r\n";
    text += line + "\n";
  }
  FakeServer server;
  server.Send(sent + ".\r\n+OK after\r\n").Start();
  SocketConnection connection;
  ASSERT_TRUE(connection.Create() && connection.ConnectTo("127.0.0.1", server.port()));
  std::string read = "left over";
  ASSERT_TRUE(ReadDotTerminated(connection, read, 2000)) << connection.LastError();
  EXPECT_TRUE(read == text) << read.substr(0, 200);
  char line[260];
  ASSERT_EQ(connection.ReadResponseLine(line, sizeof line, 2000), 9);
}

}  // namespace
}  // namespace vesk
