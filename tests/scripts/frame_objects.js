// The four classes from JScript: creation, properties, and failures as
// exceptions carrying the result code and description.
var failures = 0;
function check(condition, what) {
  if (!condition) { WScript.Echo("FAIL: " + what); failures++; }
}

var names = ["VeskMail.POP3", "VeskMail.SMTP", "VeskMail.IMAP4", "VeskMail.MIMEMessage"];
for (var i = 0; i < names.length; i++) {
  check(new ActiveXObject(names[i]) != null, "create " + names[i]);
  check(new ActiveXObject(names[i] + ".1") != null, "create " + names[i] + ".1");
}

var smtp = new ActiveXObject("VeskMail.SMTP");
check(smtp.Port === 25 && smtp.TimeOut === 5000, "SMTP defaults");
smtp.Host = "127.0.0.1";
smtp.Port = 2525;
check(smtp.Host === "127.0.0.1" && smtp.Port === 2525, "SMTP Host and Port");

var imap = new ActiveXObject("VeskMail.IMAP4");
imap.MailboxName = "Lists\\Announce";
check(imap.MailboxName === "Lists\\Announce", "IMAP4 MailboxName");
imap.TimeOut = 100;
check(imap.TimeOut === 100, "IMAP4 TimeOut");

var pop3 = new ActiveXObject("VeskMail.POP3");
var caught = null;
try { pop3.Connect(); } catch (e) { caught = e; }
check(caught !== null, "a failing method throws");
check(caught !== null && caught.number !== 0 && caught.description.length > 0, "exception has code and text");

if (failures === 0) {
  WScript.Echo("SCRIPT PASSED");
  WScript.Quit(0);
}
WScript.Quit(1);
