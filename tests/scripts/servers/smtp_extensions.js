// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Sending with the SMTP extensions against the private Postfix: a message
// above the SIZE limit of one port refused before anything goes; a success
// report for an envelope identifier read back over POP3; jörg@müller.example
// delivered in UTF-8 where SMTPUTF8 is offered (from a message in either
// mode) and refused clearly where it is not (post@müller.example goes there
// as its A-label); a partial delivery with the refused recipient and its
// reply; a server that lists no extension (npm's smtp-server, recording each
// transaction) refusing delivery reports clearly before anything is sent and
// taking a partial delivery as one transaction without parameters; and a
// script that sets none of the new members still greeting with HELO. (The
// commands each case sends are the engine suite's SMTP dialogues.)
var joerg = "j\u00f6rg@m\u00fcller.example", post = "post@m\u00fcller.example", dsn = "vesk-dsn@localhost";

// An SMTP session to the port of that name; with `extensions` it speaks EHLO,
// and it connects unless `later` (for members set before Connect).
function smtpOn(portName, extensions, later) {
  var smtp = new ActiveXObject("VeskMail.SMTP");
  smtp.Host = "127.0.0.1"; smtp.Port = port(portName); smtp.TimeOut = 20000;
  if (extensions) smtp.UseExtensions = true;
  if (!later) smtp.Connect();
  return smtp;
}
function pop3For(user) {
  var pop3 = new ActiveXObject("VeskMail.POP3");
  pop3.Host = "127.0.0.1"; pop3.Port = port("VESK_POP3_PORT"); pop3.User = user; pop3.Password = "vesk-pass";
  pop3.Connect();
  return pop3;
}
// The raw texts of a mailbox once it holds `count` messages (or after 20 s);
// with count 0, at once, and the mailbox is emptied.
function mailboxTexts(user, count) {
  var started = new Date().getTime(), pop3, texts = [];
  for (;;) {
    pop3 = pop3For(user);
    if (pop3.MessageCount >= count || new Date().getTime() - started > 20000) break;
    pop3.Disconnect();
  }
  for (var i = 1; i <= pop3.MessageCount; i++) {
    if (count === 0) pop3.Delete(i); else texts.push(pop3.Retrieve(i).RawMessage);
  }
  pop3.Disconnect();
  return texts;
}
mailboxTexts("vesk-dsn", 0);
mailboxTexts("vesk-intl", 0);

// SIZE: 37 KB to the port that takes 20000 bytes: refused before MAIL.
var big = "", line = new Array(73).join("x") + "\r\n";
while (big.length < 37000) big += line;
var smtp = smtpOn("VESK_SMTP_SMALL_PORT", true);
var error = failureOf(function () { smtp.Send(message(dsn, [dsn], "big", big)); });
check(/^Message of 3\d{4} bytes is larger than the 20000 bytes the server takes \(SIZE\)$/.test(error), "size refusal: " + error);
smtp.Send(message(dsn, [dsn], "small", "small\r\n"));
smtp.Disconnect();

// Delivery reports: a success report for the envelope identifier reaches
// the sender's mailbox.
smtp = smtpOn("VESK_SMTP_PORT", false, true);
smtp.DeliveryNotify = 2 + 4;  // SUCCESS and FAILURE
smtp.DeliveryReturn = 2;      // headers only
smtp.EnvelopeID = "invoice 4711";
smtp.Connect();
smtp.Send(message(dsn, ["vesk-intl@localhost"], "invoice 4711", "Invoice\r\n"));
smtp.Disconnect();
// The mailbox holds the small message of the SIZE test, then the report
// (which carries the identifier decoded from xtext, RFC 3464 section 2.2.1).
var texts = mailboxTexts("vesk-dsn", 2), report = "";
for (var i = 0; i < texts.length; i++) if (/Original-Envelope-Id: invoice 4711/i.test(texts[i])) report = texts[i];
check(report !== "", "a report carrying the envelope identifier arrived: " + texts.length + " messages");
check(/multipart\/report/i.test(report) && /Action: delivered/i.test(report) &&
      /Original-Recipient: rfc822;\s*vesk-intl@localhost/i.test(report), "a success report: " + report.substr(0, 2000));

// International addresses: in UTF-8 with SMTPUTF8, as the A-label without.
smtp = smtpOn("VESK_SMTP_PORT", true);
smtp.Send(message(dsn, [joerg], "f\u00fcr J\u00f6rg", "Gr\u00fc\u00dfe\r\n"));
// A message in the ANSI mode: its addresses reach the envelope as UTF-8 too
// (a blind copy, so that no header holds the code page's bytes).
var ansi = new ActiveXObject("VeskMail.MIMEMessage");
ansi.From.Address = dsn;
ansi.To.Add().Address = dsn;
ansi.Bcc.Add().Address = joerg;
ansi.Subject = "ANSI blind copy";
ansi.Text = "ANSI\r\n";
smtp.Send(ansi);
smtp.Disconnect();
smtp = smtpOn("VESK_SMTP_ASCII_PORT", true);
error = failureOf(function () { smtp.Send(message(dsn, ["vesk-intl@localhost", joerg], "no", "no\r\n")); });
check(error === "Address \"" + joerg + "\" needs a server that offers international addresses (SMTPUTF8)", "refused: " + error);
smtp.Send(message(dsn, [post], "A-label", "ASCII envelope\r\n"));
smtp.Disconnect();

// Partial refusals: by default one unknown recipient fails the transaction
// and nothing is delivered; allowed, the others get the message. (What the
// session does after a refusal, pipelined or not, is the engine suite's.)
var recipients = ["vesk-intl@localhost", "nobody@localhost", dsn];
for (var partial = 0; partial < 2; partial++) {
  smtp = smtpOn("VESK_SMTP_PORT", true, true);
  smtp.AllowPartialDelivery = partial === 1;
  smtp.Connect();
  var subject = partial ? "partial" : "all or nothing";
  error = failureOf(function () { smtp.Send(message(dsn, recipients, subject, "x\r\n")); });
  // The refusal names the address and the server's reply after the usual words.
  check(partial ? error === "" : error.indexOf("Invalid response on RCPT TO: command. The server refused " +
                                               "nobody@localhost: 550") === 0, "partial " + partial + ": Send: " + error);
  check(smtp.LastError === (partial ? 0 : 243), "partial " + partial + ": LastError " + smtp.LastError);
  var refused = vbArray(smtp.RefusedRecipients), replies = vbArray(smtp.RefusedReplies);
  check(refused.join() === "nobody@localhost", "partial " + partial + ": refused " + refused.join());
  check(replies.length === 1 && /^550 5\.1\.1 /.test(replies[0]), "partial " + partial + ": reply " + replies.join());
  if (partial) smtp.Disconnect();  // (the refused pipelined transaction closed the other)
}

// A server that lists no extension: no delivery reports, and a partial
// delivery as one transaction without parameters (the A-label's domain shown
// as Unicode again by the recorder).
var logFile = "Z:" + env("VESK_SMTP_NPM_LOG").replace(/\//g, "\\"), before = readAll(logFile).length;
smtp = smtpOn("VESK_SMTP_NPM_PORT", false, true);
smtp.EnvelopeID = "report please";
smtp.Connect();
error = failureOf(function () { smtp.Send(message("me@vesk.test", ["a@vesk.test"], "report", "Hello\r\n")); });
check(error === "Server does not offer delivery status notifications (DSN)", "no DSN: " + error);
smtp.EnvelopeID = "";
smtp.AllowPartialDelivery = true;
smtp.Send(message("me@vesk.test", ["a@vesk.test", post, "nobody@vesk.test"], "partial", "Hello\r\n"));
refused = vbArray(smtp.RefusedRecipients), replies = vbArray(smtp.RefusedReplies);
check(refused.join() === "nobody@vesk.test" && replies.join() === "550 no such mailbox here",
      "no extensions, refused: " + refused.join() + " / " + replies.join());
smtp.Disconnect();
var log = readAll(logFile).substr(before).replace(/\s+$/, "").split("\n");
check(log.length === 1 && /"to":\["a@vesk\.test","post@m[^"]+ller\.example"\]/.test(log[0]) &&
      log[0].indexOf('"mailArgs":{}') >= 0, "one transaction recorded: " + log.join(" / "));

// Nothing set: the HELO dialogue as it was.
var traceFile = fso.BuildPath(scratchFolder("vesk_smtp_extensions"), "trace.txt");
smtp = smtpOn("VESK_SMTP_PORT", false, true);
smtp.TraceFile = traceFile;
smtp.Connect();
smtp.Send(message(dsn, [dsn], "plain", "plain\r\n"));
smtp.Disconnect();
var trace = readAll(traceFile);
check(/C: HELO /.test(trace) && !/EHLO|SIZE=/.test(trace) && /C: MAIL From: <vesk-dsn@localhost>\r?\n/.test(trace),
      "plain dialogue: " + trace);

// What arrived: at vesk-intl the report's message, jörg's, the ANSI blind
// copy, the A-label one and the partial delivery; not the all-or-nothing one.
// (Python's strict parser reads the same mail afterwards:
// tests/interop/check_maildir.py international.)
texts = mailboxTexts("vesk-intl", 5);
var subjects = [];
for (var i = 0; i < texts.length; i++) {
  var got = new ActiveXObject("VeskMail.MIMEMessage");
  got.Charset = "utf-8";
  got.RawMessage = texts[i];
  subjects.push(got.Subject);
}
check(subjects.sort().join("|") === ["A-label", "ANSI blind copy", "f\u00fcr J\u00f6rg", "invoice 4711", "partial"].sort().join("|"),
      "delivered to vesk-intl: " + subjects.join("|"));
finish();
