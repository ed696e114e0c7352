// Round trips through real servers on loopback: Postfix for SMTP and Dovecot
// for POP3, as `tools/mailservers.sh start` runs them. These tests run only
// when VESK_MAILSERVERS=1 is set; otherwise each reports itself skipped.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"

namespace vesk {
namespace {

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::int16_t PortSetting(const char* name, const char* fallback) {
  return static_cast<std::int16_t>(std::atoi(Setting(name, fallback).c_str()));
}

class RealServers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Setting("VESK_MAILSERVERS", "0") != "1") {
      GTEST_SKIP() << "real mail servers not requested: run tools/mailservers.sh start and "
                      "set VESK_MAILSERVERS=1";
    }
    address_ = Setting("VESK_MAIL_ADDRESS", "vesk@localhost");
    EmptyTheMailbox();
  }

  void PointAt(SmtpClient& client) const {
    client.set_host("127.0.0.1");
    client.set_port(PortSetting("VESK_SMTP_PORT", "2525"));
  }

  void PointAt(Pop3Client& client) const {
    client.set_host("127.0.0.1");
    client.set_port(PortSetting("VESK_POP3_PORT", "2110"));
    client.set_user(Setting("VESK_MAIL_USER", "vesk"));
    client.set_password(Setting("VESK_MAIL_PASSWORD", "vesk-pass"));
  }

  // The message count of a fresh POP3 session, or -1 when it fails.
  int CountMessages() const {
    Pop3Client client;
    PointAt(client);
    if (!client.Connect()) return -1;
    const int count = client.message_count();
    client.Disconnect();
    return count;
  }

  void EmptyTheMailbox() const {
    Pop3Client client;
    PointAt(client);
    ASSERT_TRUE(client.Connect()) << client.last_error()
                                  << " (are the servers running? tools/mailservers.sh start)";
    for (std::int16_t n = 1; n <= client.message_count(); ++n) ASSERT_TRUE(client.Delete(n));
    ASSERT_TRUE(client.Disconnect()) << client.last_error();
  }

  // Delivery lands in the Maildir a moment after the transaction.
  bool WaitForMessages(int count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (CountMessages() == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string address_;
};

// What the message looks like in RetrievedText: LF line ends, and the empty
// line that sending adds before the end-of-data line.
std::string AsRetrieved(const std::string& sent) {
  std::string text;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] == '\r' && i + 1 < sent.size() && sent[i + 1] == '\n') continue;
    text.push_back(sent[i] == '\r' ? '\n' : sent[i]);
  }
  return text;
}

std::size_t CountLines(const std::string& text) {
  std::size_t lines = 0;
  for (char c : text) lines += (c == '\n');
  return lines;
}

TEST_F(RealServers, MessageSentOverSmtpComesBackOverPop3Intact) {
  const std::string body_line_of_2000(2000, 'w');
  const std::string message =
      "From: Sender <sender@vesk.test>\r\n"
      "To: <" + address_ + ">\r\n"
      "Subject: round trip\r\n"
      "Date: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
      "Message-ID: <round-trip@vesk.test>\r\n"
      "\r\n"
      "first line\r\n"
      ".\r\n"
      "..two periods\r\n"
      ".leading period\r\n"
      "bare lf\n"
      "bare cr\r"
      "high bytes \xe9\xfc\xff\r\n"
      + body_line_of_2000 + "\r\n"
      "last line\r\n";

  SmtpClient smtp;
  PointAt(smtp);
  ASSERT_TRUE(smtp.Connect()) << smtp.last_error();
  ASSERT_TRUE(smtp.Send("sender@vesk.test", {address_}, message)) << smtp.last_error();
  ASSERT_TRUE(smtp.Disconnect()) << smtp.last_error();
  ASSERT_TRUE(WaitForMessages(1));

  Pop3Client pop3;
  PointAt(pop3);
  ASSERT_TRUE(pop3.Connect()) << pop3.last_error();
  EXPECT_EQ(pop3.message_count(), 1);
  ASSERT_TRUE(pop3.Retrieve(1)) << pop3.last_error();
  const std::string whole = pop3.retrieved_text();
  const std::string expected = AsRetrieved(message);
  // The server puts its trace fields (Return-Path, Received, ...) in front;
  // everything after them is what was sent.
  ASSERT_GE(whole.size(), expected.size());
  const std::string added = whole.substr(0, whole.size() - expected.size());
  EXPECT_EQ(whole.substr(added.size()), expected);
  EXPECT_NE(added.find("Received: "), std::string::npos) << added;

  std::int32_t size = 0;
  ASSERT_TRUE(pop3.GetMessageSize(1, size)) << pop3.last_error();
  EXPECT_EQ(static_cast<std::size_t>(size), whole.size() + CountLines(whole));  // CR LF on the wire

  const std::string head = whole.substr(0, whole.find("\n\n") + 2);
  ASSERT_TRUE(pop3.RetrieveTop(1)) << pop3.last_error();
  EXPECT_EQ(pop3.retrieved_text(), head);
  ASSERT_TRUE(pop3.RetrieveTop(1, 3)) << pop3.last_error();
  EXPECT_EQ(pop3.retrieved_text(), head + "first line\n.\n..two periods\n");

  ASSERT_TRUE(pop3.Delete(1)) << pop3.last_error();
  EXPECT_EQ(pop3.message_count(), 1);
  ASSERT_TRUE(pop3.Disconnect()) << pop3.last_error();
  EXPECT_EQ(CountMessages(), 0);
}

TEST_F(RealServers, ResetUndoesADeletion) {
  SmtpClient smtp;
  PointAt(smtp);
  ASSERT_TRUE(smtp.Connect()) << smtp.last_error();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(smtp.Send("sender@vesk.test", {address_, address_},
                          "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"))
        << smtp.last_error();
  }
  ASSERT_TRUE(smtp.Disconnect());
  ASSERT_TRUE(WaitForMessages(2));

  Pop3Client pop3;
  PointAt(pop3);
  ASSERT_TRUE(pop3.Connect());
  ASSERT_TRUE(pop3.Delete(1));
  EXPECT_FALSE(pop3.Retrieve(1));
  EXPECT_EQ(pop3.last_error(), "Error occured during RETR");
  ASSERT_TRUE(pop3.Reset());
  EXPECT_TRUE(pop3.Retrieve(1)) << pop3.last_error();
  ASSERT_TRUE(pop3.Disconnect());
  EXPECT_EQ(CountMessages(), 2);
}

TEST_F(RealServers, RefusalsOfRealServersAreReported) {
  // Neither relaying nor an unknown local mailbox is accepted. A session per
  // recipient: no RSET follows a failure, so the server would take the next
  // MAIL of the same session as a nested one.
  for (const char* recipient : {"nobody@elsewhere.invalid", "nobody@localhost"}) {
    SmtpClient smtp;
    PointAt(smtp);
    ASSERT_TRUE(smtp.Connect()) << smtp.last_error();
    EXPECT_FALSE(smtp.Send("sender@vesk.test", {recipient}, "x\r\n"));
    EXPECT_EQ(smtp.last_error(), "Invalid response on RCPT TO: command.") << recipient;
    EXPECT_TRUE(smtp.Disconnect()) << smtp.last_error();
  }

  Pop3Client pop3;
  PointAt(pop3);
  pop3.set_password("not-the-password");
  EXPECT_FALSE(pop3.Connect());
  EXPECT_EQ(pop3.last_error(), "Bad Password");

  Pop3Client numbers;
  PointAt(numbers);
  ASSERT_TRUE(numbers.Connect()) << numbers.last_error();
  std::int32_t size = -1;
  EXPECT_FALSE(numbers.GetMessageSize(1, size));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(numbers.last_error(), "Error occured during LIST");
  EXPECT_TRUE(numbers.Disconnect());
}

}  // namespace
}  // namespace vesk
