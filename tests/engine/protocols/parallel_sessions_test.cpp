// The protocol sessions of eight threads at once, each with its own clients
// and servers. tools/test.sh also runs this built with ThreadSanitizer, which
// fails it on any data race in what the clients share (message texts, the
// socket layer, tag and identifier sources).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::FakeServer;

void OneRound(int t) {
  FakeServer smtp_server, pop3_server, imap_server;
  const std::string subject = "Subject: " + std::to_string(t);
  testing::ScriptDialogue(smtp_server, {{{}, "220 hi\r\n"}, {{"HELO t"}, "250 hi\r\n"}, {{"MAIL From: <a@t>"}, "250 ok\r\n"},
                                        {{"RCPT TO: <b@t>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"},
                                        {{subject, "", "."}, "250 ok\r\n"}, {{"QUIT"}, "221 bye\r\n"}});
  testing::ScriptDialogue(pop3_server, {{{}, "+OK\r\n"}, {{"USER u"}, "+OK\r\n"}, {{"PASS p"}, "+OK\r\n"},
                                        {{"STAT"}, "+OK 1 9\r\n"}, {{"RETR 1"}, "+OK\r\n" + subject + "\r\n.\r\n"},
                                        {{"DELE 2"}, "-ERR no\r\n"}, {{"QUIT"}, "+OK\r\n"}});
  ImapClient imap;
  const std::string tag = imap.tag_prefix();
  testing::ScriptDialogue(imap_server, {{{}, "* OK\r\n"}, {{tag + "0 LOGIN u p"}, tag + "0 OK\r\n"},
                                        {{tag + "1 LIST \"\" \"\""}, tag + "1 NO never\r\n"}});
  smtp_server.Start(), pop3_server.Start(), imap_server.Start();
  SmtpClient smtp;
  smtp.set_host("127.0.0.1"), smtp.set_port(static_cast<std::int16_t>(smtp_server.port())), smtp.set_helo_name("t");
  EXPECT_TRUE(smtp.Connect() && smtp.Send("a@t", {"b@t"}, subject + "\r\n\r\n") && smtp.Disconnect()) << smtp.last_error();
  Pop3Client pop3;
  pop3.set_host("127.0.0.1"), pop3.set_port(static_cast<std::int16_t>(pop3_server.port()));
  pop3.set_user("u"), pop3.set_password("p");
  EXPECT_TRUE(pop3.Connect() && pop3.Retrieve(1) && !pop3.Delete(2) && pop3.Disconnect());
  EXPECT_EQ(pop3.retrieved_text(), subject + "\n");
  EXPECT_EQ(pop3.last_error(), "Error occured during DELE");
  imap.host = "127.0.0.1", imap.port = static_cast<std::int16_t>(imap_server.port()), imap.user = "u", imap.password = "p";
  EXPECT_FALSE(imap.Connect());
  EXPECT_EQ(imap.last_error, "never");
}

TEST(ParallelSessions, ThreadsWithTheirOwnClientsDoNotDisturbEachOther) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 5; ++round) OneRound(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace vesk
