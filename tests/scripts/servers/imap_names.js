// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// IMAP4 against the private Dovecot with text outside ASCII, where a VBScript
// under Wine cannot name such characters: mailbox names in any language
// ("&", umlauts, Cyrillic and CJK, and a hierarchy under such a name),
// created, listed, selected, appended to, renamed and deleted as the script
// names them; and a part's text in Latin-1 quoted-printable.
var imap = new ActiveXObject("VeskMail.IMAP4");
imap.Host = "127.0.0.1"; imap.Port = port("VESK_IMAP_PORT"); imap.User = "vesk"; imap.Password = "vesk-pass";
imap.Connect();

var top = "Vesk\u00dcbersicht & Co";              // umlaut and "&"
var names = [top + "\\Entw\u00fcrfe",             // a child under such a name
             top + "\\\u0427\u0435\u0440\u043d\u043e\u0432\u0438\u043a\u0438",  // Cyrillic
             top + "\\\u4e0b\u66f8\u304d"];        // CJK
var renamed = top + "\\\u8349\u7a3f \ud83d\udcdd";  // CJK and a character beyond U+FFFF

function removeAll() {
  var all = [renamed].concat(names).concat([top]);
  for (var i = 0; i < all.length; i++) {
    try { imap.DeleteMailbox(all[i]); } catch (ignored) {}
  }
}
removeAll();

imap.CreateMailbox(top);
for (var i = 0; i < names.length; i++) imap.CreateMailbox(names[i]);
imap.MailboxName = top;
// The mailboxes under the name selected are exactly those expected, in any
// order. (Wine's JScript sorts text beyond ASCII in no reliable order.)
function listed() { return vbArray(imap.GetMailboxesList()).join("|"); }
function listsExactly(expected) {
  var rest = "|" + listed() + "|";
  for (var i = 0, at; i < expected.length; i++) {
    if ((at = rest.indexOf("|" + expected[i] + "|")) < 0) return false;
    rest = rest.substr(0, at) + rest.substr(at + expected[i].length + 1);
  }
  return rest === "|";
}
check(listsExactly(names), "listed as named: " + listed());

// A two-line quoted-printable Latin-1 part as another program wrote it (and
// as it is appended, unchanged): its text has CR LF line breaks and ends
// where the delimiter's CR LF begins; the whole message's Text (LF line
// breaks) says the same, with the line end it keeps before a delimiter.
var latin = new ActiveXObject("VeskMail.MIMEMessage");
latin.RawMessage = ["From: vesk@localhost", "Subject: latin", "Content-Type: multipart/mixed; boundary=\"b\"", "",
                    "--b", "Content-Type: text/plain; charset=ISO-8859-1",
                    "Content-Transfer-Encoding: quoted-printable", "", "Hello parts, f=FCr alle.", "Zweite Zeile.",
                    "--b--", ""].join("\r\n");
imap.AppendMessage(names[1], latin);
imap.MailboxName = names[1];
check(imap.MailboxName === names[1], "MailboxName reads back as set");
imap.SelectMailbox(true);
check(imap.MessageCount === 1, "the appended message is in the Cyrillic mailbox: " + imap.MessageCount);
var partText = imap.GetPartText(1, "1");
check(partText === "Hello parts, f\u00fcr alle.\r\nZweite Zeile.",
      "a quoted-printable part's text: " + partText.replace(/\r/g, "<CR>").replace(/\n/g, "<LF>"));
check(partText.replace(/\r\n/g, "\n") + "\n" === imap.Retrieve(1).Text, "the part's text and the message's");
check(imap.LastError === 0, "LastError after a success: " + imap.LastError);
check(failureOf(function () { imap.GetPartText(1, "7"); }) === "The message has no part \"7\"", "no part 7");
check(imap.LastError === 233, "LastError names the message text: " + imap.LastError);

imap.RenameMailbox(names[2], renamed);
imap.MailboxName = top;
check(listsExactly([names[0], names[1], renamed]), "renamed: " + listed());

// The selected mailbox is left first: a server closes a session whose
// selected mailbox is deleted.
imap.MailboxName = "INBOX";
imap.SelectMailbox(true);
removeAll();
imap.MailboxName = "";  // every mailbox, from the top
check(listed().indexOf("Vesk\u00dc") < 0, "all deleted: " + listed());
imap.Disconnect();
finish();
