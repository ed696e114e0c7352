// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// IMAP4 mailbox names in any language against the private Dovecot: "&",
// umlauts, Cyrillic and CJK, and a hierarchy under such a name, created,
// listed, selected, appended to, renamed and deleted as the script names them.
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
var listed = new VBArray(imap.GetMailboxesList()).toArray().join("|");
for (var i = 0; i < names.length; i++) {
  check(listed.indexOf(names[i]) >= 0, "listed as named: " + names[i] + " in " + listed);
}

var message = new ActiveXObject("VeskMail.MIMEMessage");
message.Subject = "names";
message.Text = "hello";
imap.AppendMessage(names[1], message);
imap.MailboxName = names[1];
check(imap.MailboxName === names[1], "MailboxName reads back as set");
imap.SelectMailbox(true);
check(imap.MessageCount === 1, "the appended message is in the Cyrillic mailbox: " + imap.MessageCount);

imap.RenameMailbox(names[2], renamed);
imap.MailboxName = top;
listed = new VBArray(imap.GetMailboxesList()).toArray().join("|");
check(listed.indexOf(renamed) >= 0 && listed.indexOf(names[2]) < 0, "renamed: " + listed);

// The selected mailbox is left first: a server closes a session whose
// selected mailbox is deleted.
imap.MailboxName = "INBOX";
imap.SelectMailbox(true);
removeAll();
listed = new VBArray(imap.GetMailboxesList()).toArray().join("|");
check(listed.indexOf("Vesk\u00dc") < 0, "all deleted: " + listed);
imap.Disconnect();
finish();
