// Messages with text outside ASCII, in the ANSI and the Unicode mode: read
// back through the component here, and saved with expect.txt (what each
// holds, \u-escaped) for check_messages.py to read with a strict parser.
//   script_host make_international.js <folder>
var fso = new ActiveXObject("Scripting.FileSystemObject"), folder = WScript.Arguments(0), failures = 0;
function check(ok, what) { if (!ok) { WScript.Echo("FAIL: " + what); failures++; } }
function esc(s) {
  return s.replace(/[^\x20\x21\x23-\x5b\x5d-\x7b\x7d\x7e]/g, function (c) { return "\\u" + ("000" + c.charCodeAt(0).toString(16)).slice(-4); });
}
var picture = fso.BuildPath(folder, "dot.gif"), expect = fso.CreateTextFile(fso.BuildPath(folder, "expect.txt"), true);
fso.CreateTextFile(picture, true).Write("GIF89a");
var cases = [  // file, charset, subject, from name, to name, text, file name, HTML
  ["ansi.eml", "", "Gr\xfc\xdfe aus K\xf6ln, \u20ac 5", "M\xfcller, J\xf6rg", "Zo\xeb \"Z\" \xc5", "Gr\xfc\xdfe\r\n\u20ac\r\n",
   "R\xe9sum\xe9 f\xfcr J\xf6rg.txt", ""],
  ["unicode.eml", "utf-8", "\u65e5\u672c\u8a9e \u2014 \u041f\u0440\u0438\u0432\u0435\u0442 \ud83d\ude00", "\u0401\u043b\u043a\u0430, \u674e",
   "\u03a9", "\u0422\u0435\u043a\u0441\u0442 \u2713\r\n", new Array(9).join("\u041e\u0442\u0447\u0451\u0442 ") + ".txt",
   "<p>\u041f\u0440\u0438\u0432\u0435\u0442 \u2713</p>"]];
for (var i = 0; i < cases.length; i++) {
  var c = cases[i], m = new ActiveXObject("VeskMail.MIMEMessage"), path = fso.BuildPath(folder, c[0]);
  m.Charset = c[1];
  m.Subject = c[2]; m.From.Name = c[3]; m.From.Address = "j@example.com";
  var to = m.To.Add(); to.Name = c[4]; to.Address = "b@example.com";
  m.Text = c[5];
  if (c[7]) m.HTMLText = c[7] + '<img src="cid:' + m.AddRelated(picture) + '">';
  m.Attach(picture); m.Attachments.Item(1).FileName = c[6];
  m.Save(path);
  check(m.HeaderFields.Item("Subject") === c[2], c[0] + " HeaderFields keeps the Subject as set");
  var back = new ActiveXObject("VeskMail.MIMEMessage");
  back.Charset = c[1]; back.Load(path);
  var got = [back.Subject, back.From.Name, back.To.Item(1).Name, back.Text.replace(/\r/g, ""), back.Attachments.Item(1).FileName];
  var want = [c[2], c[3], c[4], c[5].replace(/\r/g, ""), c[6]];
  for (var k = 0; k < want.length; k++) check(got[k] === want[k], c[0] + " field " + k + ": " + esc(got[k]));
  check(back.HTMLText.indexOf(c[7]) === 0, c[0] + " HTML: " + esc(back.HTMLText));
  var fields = [c[0]].concat(want, [c[7]]);
  for (k = 0; k < fields.length; k++) fields[k] = esc(fields[k]);
  expect.WriteLine(fields.join("|"));
}
expect.Close();
var m = new ActiveXObject("VeskMail.MIMEMessage"), id = m.NewMessageID();
check(/^<[0-9A-F]{32}@[^>]+>$/.test(id) && m.MessageID === id, "NewMessageID " + id);
try { m.Charset = "latin-1"; check(false, "Charset latin-1 accepted"); } catch (e) { check(m.Charset === "", "Charset kept"); }
var dates = [["Sun, 06 Dec 2026 13:46:05 +0900", Date.UTC(2026, 11, 6, 4, 46, 5)], ["6 Dec 26 13:46 EST", Date.UTC(2026, 11, 6, 18, 46)]];
for (var d = 0; d < dates.length; d++) { m.Date = dates[d][0]; check(new Date(m.Date).getTime() === dates[d][1], "Date " + dates[d][0]); }
WScript.Echo(failures === 0 ? "SCRIPT PASSED" : failures + " failures");
