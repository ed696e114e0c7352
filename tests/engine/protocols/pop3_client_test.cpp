#include "engine/protocols/pop3_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/fake_server.h"

namespace vesk {
namespace {

// A retrieval is reported against the size the server announced, ends at
// that size, and stopped by the listener it ends the session without QUIT
// (so nothing marked deleted goes) and fails as cancelled.
TEST(Pop3Progress, RetrievalIsReportedAndCanBeStopped) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += "Line " + std::to_string(i) + " of a long message.\r\n";
  for (const std::size_t stop_at : {std::size_t{0}, std::size_t{2}}) {
    testing::FakeServer server;
    server.Send("+OK ready\r\n").ExpectLine("USER ann").Send("+OK\r\n").ExpectLine("PASS secret").Send("+OK\r\n");
    server.ExpectLine("STAT").Send("+OK 2 600000\r\n").ExpectLine("DELE 2").Send("+OK\r\n");
    server.ExpectLine("RETR 1").Send("+OK " + std::to_string(body.size()) + " octets\r\n");
    for (std::size_t at = 0; at < body.size(); at += 50000) server.Send(body.substr(at, 50000)).Pause(20);
    server.Send(".\r\n");
    if (!stop_at) server.ExpectLine("QUIT").Send("+OK bye\r\n");
    server.Start();
    testing::Clients clients;
    Pop3Client& pop3 = clients.pop3;
    clients.Aim('P', server.port());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    pop3.progress = [&](TransferKind kind, std::uint64_t done, std::uint64_t total) {
      EXPECT_EQ(kind, TransferKind::kRetrieve);
      reports.emplace_back(done, total);
      return reports.size() != stop_at;
    };
    ASSERT_TRUE(pop3.Connect()) << pop3.last_error();
    ASSERT_TRUE(pop3.Delete(2));
    if (stop_at) {
      EXPECT_FALSE(pop3.Retrieve(1));
      EXPECT_EQ(pop3.last_error(), "Cancelled by the caller");
      EXPECT_FALSE(pop3.connected());
      EXPECT_EQ(reports.size(), stop_at);
    } else {
      ASSERT_TRUE(pop3.Retrieve(1)) << pop3.last_error();
      EXPECT_EQ(pop3.Disconnect(), true);
      ASSERT_GE(reports.size(), 2u);
      EXPECT_EQ(reports.back(), std::make_pair(std::uint64_t{body.size()}, std::uint64_t{body.size()}));
    }
    for (const auto& [done, total] : reports) EXPECT_EQ(total, body.size());
    server.Finish();
    if (!stop_at) EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
    if (stop_at) EXPECT_EQ(server.ReceivedLines().back(), "RETR 1") << "no QUIT: the deletion is not applied";
  }
}

}  // namespace
}  // namespace vesk
