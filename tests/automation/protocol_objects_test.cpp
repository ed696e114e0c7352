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

// What Send transmits: Bcc addresses are recipients but not in the text, an
// address collection that was only read writes no empty field, and a Date
// and a Message-ID are added to the message itself when it has none.
TEST(SmtpObject, SendKeepsBlindCopiesOutOfTheTextAndWritesNoEmptyAddressField) {
  std::vector<ScriptedServer::Step> script = {{"220 ready\r\n", "HELO"}, {"250 hi\r\n", "MAIL"},
                                              {"250 ok\r\n", "RCPT"},   {"250 ok\r\n", "RCPT"},
                                              {"250 ok\r\n", "DATA"},   {"354 go\r\n", "line"}};
  // From To Subject Date Message-ID, empty, body, "."
  for (int line = 1; line < 8; ++line) script.push_back({"", "line"});
  script.push_back({"250 ok\r\n", ""});
  ScriptedServer server(script);
  ComPtr<IVeskSMTP> smtp;
  ComPtr<IMIMEMessage> message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", smtp), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  Bstr raw(L"From: a@example.com\r\nTo: b@example.com\r\nBcc: hidden@example.com\r\nSubject: s\r\n\r\nbody\r\n");
  ASSERT_EQ(message->put_RawMessage(raw.get()), S_OK);
  ComPtr<IMailAddresses> cc;
  ASSERT_EQ(message->get_Cc(cc.put()), S_OK);
  PointAt(smtp.get(), server.port());
  ASSERT_EQ(smtp->Connect(), S_OK);
  ASSERT_EQ(smtp->Send(message.get(), nullptr, nullptr), S_OK);
  const std::string sent = server.Received();
  EXPECT_NE(sent.find("RCPT TO: <hidden@example.com>"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("Bcc"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("Cc:"), std::string::npos) << sent;
  // The sender's own copy keeps its Bcc, and has the Date and Message-ID sent.
  Bstr kept;
  ASSERT_EQ(message->get_RawMessage(kept.put()), S_OK);
  const std::string copy = Narrow(kept.get());
  EXPECT_NE(copy.find("Bcc: hidden@example.com"), std::string::npos);
  for (const char* field : {"\r\nDate: ", "\r\nMessage-ID: <"}) {
    const size_t at = copy.find(field);
    ASSERT_NE(at, std::string::npos) << field;
    const std::string line = copy.substr(at, copy.find("\r\n", at + 2) - at);
    EXPECT_NE(sent.find(line), std::string::npos) << line;
  }
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

namespace vesk::test {
namespace {

// Reads a list result: a VT_ARRAY | VT_VARIANT with lower bound 0.
std::vector<VARIANT> Elements(VARIANT& list) {
  std::vector<VARIANT> elements;
  EXPECT_EQ(V_VT(&list), VT_ARRAY | VT_VARIANT);
  if (V_VT(&list) != (VT_ARRAY | VT_VARIANT)) return elements;
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(V_ARRAY(&list), 1, &lower);
  SafeArrayGetUBound(V_ARRAY(&list), 1, &upper);
  EXPECT_EQ(lower, 0);
  for (LONG i = lower; i <= upper; ++i) {
    elements.emplace_back();
    VariantInit(&elements.back());
    SafeArrayGetElement(V_ARRAY(&list), &i, &elements.back());
  }
  return elements;
}

TEST(Imap4Object, ListsSearchesAndDatesCrossAsAutomationValues) {
  ScriptedServer server({{"* OK ready\r\n", "LOGIN"},
                         {"{tag} OK logged in\r\n", "LIST"},
                         {"* LIST (\\Noselect) \"/\" \"\"\r\n{tag} OK done\r\n", "LIST"},
                         {"* LIST () \"/\" \"INBOX/Work\"\r\n* LIST () \"/\" \"INBOX/Old Mail\"\r\n{tag} OK\r\n",
                          "SEARCH"},
                         {"* SEARCH 2 84 882\r\n{tag} OK\r\n", "SEARCH"},
                         {"* SEARCH\r\n{tag} OK\r\n", ""}});
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  PointAt(imap.get(), server.port());
  ASSERT_EQ(imap->Connect(), S_OK);

  Variant list;
  ASSERT_EQ(imap->GetMailboxesList(list.get()), S_OK);
  std::vector<VARIANT> names = Elements(*list.get());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(V_VT(&names[0]), VT_BSTR);
  EXPECT_EQ(Narrow(V_BSTR(&names[0])), "INBOX\\Work");
  EXPECT_EQ(Narrow(V_BSTR(&names[1])), "INBOX\\Old Mail");
  for (VARIANT& name : names) VariantClear(&name);

  Variant found;
  Bstr criteria(L"FROM \"bob\"");
  ASSERT_EQ(imap->Search(criteria.get(), found.get()), S_OK);
  std::vector<VARIANT> numbers = Elements(*found.get());
  ASSERT_EQ(numbers.size(), 3u);
  EXPECT_EQ(V_VT(&numbers[0]), VT_I4);
  EXPECT_EQ(V_I4(&numbers[2]), 882);

  // 1 January 2003, 18:30: only the day counts, in English month names.
  SYSTEMTIME when{2003, 1, 3, 1, 18, 30, 0, 0};
  DATE date = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&when, &date));
  Variant none;
  ASSERT_EQ(imap->SearchSentBefore(date, none.get()), S_OK);
  EXPECT_TRUE(Elements(*none.get()).empty());

  // The mailbox name now maps backslashes to the server's slash.
  Bstr mailbox(L"INBOX\\Work");
  ASSERT_EQ(imap->put_MailboxName(mailbox.get()), S_OK);
  Bstr back;
  ASSERT_EQ(imap->get_MailboxName(back.put()), S_OK);
  EXPECT_EQ(Narrow(back.get()), "INBOX\\Work");

  const std::string sent = server.Received();
  EXPECT_NE(sent.find(" SEARCH FROM \"bob\"\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find(" SEARCH SENTBEFORE 01-Jan-2003\r\n"), std::string::npos) << sent;
}

TEST(Imap4Object, FailuresCarryTheServersText) {
  ScriptedServer server({{"* OK ready\r\n", "LOGIN"},
                         {"{tag} NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", ""}});
  ComPtr<IVeskIMAP4> imap;
  ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
  PointAt(imap.get(), server.port());
  EXPECT_EQ(imap->Connect(), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"VeskMail.IMAP4.1");
  EXPECT_EQ(error.description, L"[AUTHENTICATIONFAILED] Authentication failed.");
}

}  // namespace
}  // namespace vesk::test
