// The SMTP and POP3 objects against scripted loopback servers: results,
// descriptions and the messages a retrieval hands out.
#include <gtest/gtest.h>

#include "automation/fake_server.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

template <class I>
void PointAt(I* object, unsigned short port, LONG timeout = 2000) {
  Bstr host(L"127.0.0.1");
  ASSERT_EQ(object->put_Host(host.get()), S_OK);
  ASSERT_EQ(object->put_Port(static_cast<short>(port)), S_OK);
  ASSERT_EQ(object->put_TimeOut(timeout), S_OK);
}

TEST(SmtpObject, ConnectFailureIsReportedWithItsDescription) {
  ComPtr<IVeskSMTP> smtp;
  ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
  PointAt(smtp.get(), UnusedPort());
  EXPECT_EQ(smtp->Connect(), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"VeskMail.SMTP.1");
  EXPECT_EQ(error.description, L"Server cannot be connected");
}

TEST(SmtpObject, SendRefusesWhatIsNotAMessage) {
  ScriptedServer server({{"220 ready\r\n", "HELO"}, {"250 hi\r\n", ""}});
  ComPtr<IVeskSMTP> smtp;
  ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
  PointAt(smtp.get(), server.port());
  ASSERT_EQ(smtp->Connect(), S_OK);
  EXPECT_EQ(smtp->Send(nullptr, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"Invalid mail message object.");
  ComPtr<IDispatch> not_a_message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", not_a_message), S_OK);
  EXPECT_EQ(smtp->Send(not_a_message.get(), nullptr, nullptr), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"Invalid mail message object.");
  const std::string sent = server.Received();
  EXPECT_EQ(sent.rfind("HELO ", 0), 0u) << sent;
  EXPECT_EQ(sent.find("MAIL"), std::string::npos) << "nothing of a transaction is sent";
}

TEST(Pop3Object, ConnectCountsMessagesAndFailuresCarryTheStepsText) {
  ScriptedServer server({{"+OK ready\r\n", "USER alice"},
                         {"+OK\r\n", "PASS secret"},
                         {"+OK logged in\r\n", "STAT"},
                         {"+OK 3 4096\r\n", "LIST 2"},
                         {"+OK 2 1234\r\n", "DELE 9"},
                         {"-ERR no such message\r\n", ""}});
  ComPtr<IVeskPOP3> pop3;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  PointAt(pop3.get(), server.port());
  Bstr user(L"alice"), password(L"secret");
  pop3->put_User(user.get());
  pop3->put_Password(password.get());
  ASSERT_EQ(pop3->Connect(), S_OK);
  short count = 0;
  ASSERT_EQ(pop3->get_MessageCount(&count), S_OK);
  EXPECT_EQ(count, 3);
  LONG size = 0;
  ASSERT_EQ(pop3->GetMessageSize(2, &size), S_OK);
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(pop3->Delete(9), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"VeskMail.POP3.1");
  EXPECT_EQ(error.description, L"Error occured during DELE");
}

TEST(Pop3Object, RetrieveHandsOutANewMessageObject) {
  ScriptedServer server({{"+OK ready\r\n", "USER"},
                         {"+OK\r\n", "PASS"},
                         {"+OK\r\n", "STAT"},
                         {"+OK 1 40\r\n", "RETR 1"},
                         {"+OK\r\nSubject: hi\r\n\r\n..dotted\r\n.\r\n", "RETR 1"},
                         {"+OK\r\nSubject: again\r\n\r\nbody\r\n.\r\n", ""}});
  ComPtr<IVeskPOP3> pop3;
  ASSERT_EQ(CreateByProgId(L"VeskMail.POP3", pop3), S_OK);
  PointAt(pop3.get(), server.port());
  ASSERT_EQ(pop3->Connect(), S_OK);
  ComPtr<IDispatch> message;
  ASSERT_EQ(pop3->Retrieve(1, message.put()), S_OK);
  ComPtr<IMIMEMessage> typed;
  EXPECT_EQ(message.As(typed), S_OK);
  EXPECT_EQ(pop3->Retrieve(1, nullptr), E_INVALIDARG) << "the text was read; there is nowhere to put it";
}

}  // namespace
}  // namespace vesk::test
