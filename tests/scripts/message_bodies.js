// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// The objects from JScript: failures as exceptions with their code and text,
// walking and editing the parts of a message (header fields, nested
// multiparts), body content from files, strings, TextStreams and a
// byte-source component.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var folder = fso.BuildPath(fso.GetSpecialFolder(2), "vesk-bodies-js");
if (!fso.FolderExists(folder)) fso.CreateFolder(folder);

var imap = new ActiveXObject("VeskMail.IMAP4.1");
imap.Host = "127.0.0.1"; imap.Port = 1; imap.TimeOut = 100;
var caught = null;
try { imap.Connect(); } catch (e) { caught = e; }
check(caught !== null && caught.number === -2147467259 && caught.description.indexOf("Server cannot be connected: 127.0.0.1, port 1: ") === 0,
      "a failing method throws its code and text");

// A nested message as a mail reader receives it.
var message = new ActiveXObject("VeskMail.MIMEMessage");
message.RawMessage = ["From: \"Ann\" <ann@example.com>", "To: bob@example.com, \"Carl, Jr.\" <carl@example.org>",
  "Subject: nested", "Content-Type: multipart/mixed; boundary=\"outer\"", "", "preamble", "--outer",
  "Content-Type: multipart/alternative; boundary=\"inner\"", "", "--inner",
  "Content-Type: text/plain; charset=\"us-ascii\"", "", "plain text", "--inner", "Content-Type: text/html",
  "Content-Transfer-Encoding: quoted-printable", "", "<p>caf=E9</p>", "--inner--", "--outer",
  "Content-Type: image/gif; name=\"dot.gif\"", "Content-Disposition: attachment; filename=\"dot.gif\"",
  "Content-Transfer-Encoding: base64", "", "R0lGODlhAQABAAAAACw=", "--outer--", ""].join("\r\n");
check(message.Subject === "nested", "subject");
var to = [];
for (var e = new Enumerator(message.To); !e.atEnd(); e.moveNext()) to.push(e.item().Name + "|" + e.item().Address);
check(to.join(";") === "|bob@example.com;Carl, Jr.|carl@example.org", "Enumerator over To: " + to.join(";"));
var parts = message.MimeBody.MimeBodies;
check(message.MimeBody.ContentType === "multipart/mixed" && parts.Count === 2, "root with two children");
var inner = parts.Item(1).MimeBodies;
check(inner.Count === 2 && inner.Item(1).Charset === "us-ascii", "two alternatives");
check(inner.Item(2).SimpleContent === "<p>caf\u00e9</p>\n", "quoted-printable decoded");
check(message.Text === "plain text\n", "the message text is the text/plain part");
var kinds = [];
for (var b = new Enumerator(parts); !b.atEnd(); b.moveNext()) kinds.push(b.item().ContentType);
check(kinds.join(",") === "multipart/alternative,image/gif", "Enumerator over bodies: " + kinds.join(","));
check(message.Attachments.Count === 1 && message.Attachments.Item(1).FileName === "dot.gif", "one attachment");

var fields = message.HeaderFields;
check(fields.Exists("subject") === true, "Exists answers true");
fields.Item("X-Mailer") = "VeskMail test";
fields.Add("X-Priority", "3");
var names = new VBArray(fields.FieldsNames()).toArray();
check(names[0] === "From" && names[names.length - 1] === "X-Priority", "FieldsNames: " + names.join(","));
check(message.RawMessage.indexOf("X-Mailer: VeskMail test\r\n") > 0, "a field set through the dictionary is rendered");

// Body content from a file and back to a file, from a string, a TextStream
// and a byte source.
var gif = fso.BuildPath(folder, "dot.gif");
message.Attachments.Item(1).Save(gif);
var added = message.Attachments.Add();
added.LoadFile(gif);
check(added.SimpleContent === message.Attachments.Item(1).SimpleContent, "LoadFile reads what Save wrote");
var body = message.Attachments.Add();
body.Load("from a string");
check(body.SimpleContent === "from a string", "Load from a string");
var writer = fso.CreateTextFile(fso.BuildPath(folder, "in.txt"), true);
writer.Write("from a TextStream\r\n");
writer.Close();
var reader = fso.OpenTextFile(fso.BuildPath(folder, "in.txt"));
body.Load(reader);
reader.Close();
check(body.SimpleContent === "from a TextStream\r\n", "Load from a TextStream");
var source = new ActiveXObject("VeskTest.ByteSource");
source.Text = "GIF89a\u0001\u00ff";
body.Load(source);
check(body.SimpleContent.length === 8 && body.SimpleContent.charCodeAt(7) === 0xff, "Load from a byte source");
// Text the ANSI code page cannot hold is refused, not cut short.
var refused = null;
try { body.Load("snow \u2603 man"); } catch (x) { refused = x; }
check(refused !== null && refused.description.indexOf("U+2603") >= 0, "unrepresentable text refused");
check(body.SimpleContent.length === 8, "a refused Load changes nothing");
message.Text = "euro \u20ac";
check(message.Text === "euro \u20ac", "the euro sign goes through the code page");


// Text whose last line has no line end keeps that line: plain, quoted-
// printable and base64 content, and a closing delimiter at the very end.
var unended = new ActiveXObject("VeskMail.MIMEMessage");
unended.RawMessage = "Subject: x\r\n\r\nHello";
check(unended.Text === "Hello", "plain last line: " + unended.Text);
unended.RawMessage = "Content-Transfer-Encoding: quoted-printable\r\n\r\nHello=20";
check(unended.Text === "Hello ", "quoted-printable last line: [" + unended.Text + "]");
unended.RawMessage = ["Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: application/octet-stream",
  "Content-Disposition: attachment; filename=a.bin", "Content-Transfer-Encoding: base64", "", "QUJD", "QUI=",
  "--b--"].join("\r\n");
check(unended.Attachments.Count === 1 && unended.Attachments.Item(1).SimpleContent === "ABCAB",
      "base64 last group before a closing delimiter without line end");

// Messages as other mail programs write them: a boundary folded inside its
// quotes, an empty parameter before a folded one, a type without a subtype,
// a folded file name, and a part whose content starts right under its header.
function partsOf(lines) {
  var m = new ActiveXObject("VeskMail.MIMEMessage");
  m.RawMessage = lines.join("\r\n");
  return m;
}
var folded = partsOf(["Content-type: multipart/mixed; boundary=\"simple", " boundary\"", "", "preamble",
  "--simple boundary", "", "first", "--simple boundary", "Content-Type: application-x-gzip; name=\"doc.xml.gz\"",
  "Content-Disposition: attachment; filename=\"a long", " name.txt\"", "Content-Transfer-Encoding: base64",
  "QUJD", "--simple boundary--", ""]);
check(folded.MimeBody.MimeBodies.Count === 2 && folded.Text === "first\n", "folded boundary: " + folded.Text);
check(folded.Attachments.Count === 1 && folded.Attachments.Item(1).FileName === "a long name.txt",
      "folded file name");
check(folded.Attachments.Item(1).SimpleContent === "ABC", "content right under the header");
var semicolons = partsOf(["Content-Type: multipart/mixed;;", "\tBoundary=\"b\"", "", "--b", "", "text", "--b--"]);
check(semicolons.Text === "text\n" && semicolons.RawMessage.indexOf(";=") < 0, "empty parameter skipped");

// Header text outside ASCII: written as encoded-words, read back as text.
var greeting = new ActiveXObject("VeskMail.MIMEMessage");
greeting.RawMessage = "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= =?utf-8?B?IOKCrA==?= x\r\n" +
  "From: =?koi8-r?B?8NLJ18XU?= <p@example.com>\r\n\r\n";
check(greeting.Subject === "Gr\u00fc\u00dfe \u20ac x", "encoded-words decoded: " + greeting.Subject);
check(greeting.From.Name === "\u041f\u0440\u0438\u0432\u0435\u0442", "a name in koi8-r: " + greeting.From.Name);
var again = new ActiveXObject("VeskMail.MIMEMessage");
greeting.Subject = "Caf\u00e9 \u20ac";
again.RawMessage = greeting.RawMessage;
check(again.Subject === "Caf\u00e9 \u20ac" && greeting.RawMessage.indexOf("Subject: =?utf-8?") >= 0,
      "a subject survives the wire: " + again.Subject);

try { fso.DeleteFolder(folder, true); } catch (ignored) {}
finish();
