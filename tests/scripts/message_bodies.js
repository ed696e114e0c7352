// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// The objects from JScript: failures as exceptions with their text,
// walking and editing the parts of a message (header fields, nested
// multiparts), body content from files, strings, TextStreams and a
// byte-source component.
var folder = scratchFolder("vesk-bodies-js");

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
