#pragma once

// The three protocol clients against a scripted server, for the tables of
// dialogue tests: a row names its protocol ('S' SMTP, 'P' POP3, 'I' IMAP4),
// and "{t}" in its script stands for the IMAP4 client's tag prefix (made
// when the client is, so the tags are known before the script is written).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk::testing {

inline std::string Tagged(std::string text, const std::string& tag) {
  for (size_t at; (at = text.find("{t}")) != std::string::npos;) text.replace(at, 3, tag);
  return text;
}

// A server that plays `exchanges` and, at Check, must have heard exactly
// their client lines and noted no problem.
class ScriptedServer : public FakeServer {
 public:
  explicit ScriptedServer(std::vector<Exchange> exchanges, const std::string& tag = "") {
    for (Exchange& exchange : exchanges) {
      exchange.reply = Tagged(exchange.reply, tag);
      for (std::string& line : exchange.client_lines) line = Tagged(line, tag);
    }
    transcript = ScriptDialogue(*this, exchanges);
  }
  void Check() {
    Finish();
    EXPECT_THAT(Problems(), ::testing::IsEmpty());
    EXPECT_THAT(ReceivedLines(), ::testing::ElementsAreArray(transcript));
  }
  std::vector<std::string> transcript;
};

struct Clients {
  SmtpClient smtp;
  Pop3Client pop3;
  ImapClient imap;

  LineSession& Of(char protocol) {
    if (protocol == 'S') return smtp;
    return protocol == 'P' ? static_cast<LineSession&>(pop3) : imap;
  }
  // Aims the client of `protocol` at 127.0.0.1; SMTP greets as client.test,
  // POP3 signs in as ann with "secret" (IMAP4 keeps its own defaults).
  LineSession& Aim(char protocol, std::uint16_t port, int timeout_ms = 2000) {
    smtp.set_helo_name("client.test");
    pop3.set_user("ann"), pop3.set_password("secret");
    LineSession& session = Of(protocol);
    session.set_host("127.0.0.1"), session.set_port(port), session.set_timeout_ms(timeout_ms);
    return session;
  }
};

// The name of a table row, for INSTANTIATE_TEST_SUITE_P.
inline auto RowName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace vesk::testing
