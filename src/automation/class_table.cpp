// The library's creatable classes.
#include "automation/frame/class_table.h"

#include "automation/imap4_object.h"
#include "automation/mail_api_object.h"
#include "automation/mime_message_object.h"
#include "automation/oauth2_object.h"
#include "automation/pop3_object.h"
#include "automation/smtp_object.h"

namespace vesk::com {

std::span<const ClassEntry> ClassTable() {
  static const ClassEntry kClasses[] = {
      {&CLSID_VeskPOP3, L"VeskPOP3 Class", L"VeskMail.POP3", L"VeskMail.POP3.1", &Pop3Object::CreateForFactory},
      {&CLSID_VeskSMTP, L"VeskSMTP Class", L"VeskMail.SMTP", L"VeskMail.SMTP.1", &SmtpObject::CreateForFactory},
      {&CLSID_VeskIMAP4, L"VeskIMAP4 Class", L"VeskMail.IMAP4", L"VeskMail.IMAP4.1", &Imap4Object::CreateForFactory},
      {&CLSID_MIMEMessage, L"MIMEMessage Class", L"VeskMail.MIMEMessage", L"VeskMail.MIMEMessage.1",
       &MimeMessageObject::CreateForFactory},
      {&CLSID_VeskOAuth2, L"VeskOAuth2 Class", L"VeskMail.OAuth2", L"VeskMail.OAuth2.1", &OAuth2Object::CreateForFactory},
      {&CLSID_VeskMailAPI, L"VeskMailAPI Class", L"VeskMail.MailAPI", L"VeskMail.MailAPI.1",
       &MailApiObject::CreateForFactory},
  };
  return kClasses;
}

}  // namespace vesk::com
