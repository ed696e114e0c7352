// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// A text part that names its charset reads in that charset in both modes (a
// script's string is Unicode); the ANSI code page serves only where none is
// named. Text put into such a part goes into its charset when that holds
// it, and relabels the part when it does not.
function part(charset, base64) {
  return ["Subject: s", "Content-Type: text/plain; charset=" + charset, "Content-Transfer-Encoding: base64",
          "", base64, ""].join("\r\n");
}
var cases = [["utf-8", "R3LDvMOfZSBhdXMgS8O2bG4=", "Gr\u00fc\u00dfe aus K\u00f6ln"],
             ["KOI8-R", "8NLJ18XULCDNydI=", "\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"],
             ["iso-8859-1", "R3L832U=", "Gr\u00fc\u00dfe"]];
var modes = ["", "utf-8"];
for (var m = 0; m < modes.length; m++) {
  for (var c = 0; c < cases.length; c++) {
    var message = new ActiveXObject("VeskMail.MIMEMessage");
    message.Charset = modes[m];
    message.RawMessage = part(cases[c][0], cases[c][1]);
    var label = "[" + modes[m] + "] " + cases[c][0];
    check(message.Text === cases[c][2], label + " Text reads " + message.Text);
    check(message.MimeBody.SimpleContent === cases[c][2], label + " SimpleContent reads " + message.MimeBody.SimpleContent);
  }
  // Text that the part's charset holds keeps the label; text it cannot hold
  // relabels the part with the charset of the bytes.
  var latin = new ActiveXObject("VeskMail.MIMEMessage");
  latin.Charset = modes[m];
  latin.RawMessage = part("iso-8859-1", "R3L832U=");
  latin.Text = "K\u00f6ln";
  check(latin.MimeBody.Charset === "iso-8859-1" && latin.Text === "K\u00f6ln", "[" + modes[m] + "] Latin-1 text stays Latin-1");
  var copy = new ActiveXObject("VeskMail.MIMEMessage");
  copy.RawMessage = latin.RawMessage;
  check(copy.Text === "K\u00f6ln", "[" + modes[m] + "] and reads back: " + copy.Text);
  var koi = new ActiveXObject("VeskMail.MIMEMessage");
  koi.Charset = modes[m];
  koi.RawMessage = part("koi8-r", "8NLJ18XULCDNydI=");
  // KOI8-R has no letter e with an acute accent; the ANSI mode takes no
  // Cyrillic text of its own on a Western system.
  var text = modes[m] === "utf-8" ? "\u043c\u0438\u0440 \u00e9" : "caf\u00e9";
  koi.Text = text;
  check(koi.MimeBody.Charset !== "koi8-r" && koi.Text === text,
        "[" + modes[m] + "] text KOI8-R cannot hold relabels the part: " + koi.MimeBody.Charset + " " + koi.Text);
  if (modes[m] === "utf-8") check(koi.MimeBody.Charset === "utf-8", "[utf-8] relabelled utf-8");
}
// A new message's untyped part reads as text/plain; text the ANSI code page
// cannot hold is refused in that mode with E_INVALIDARG and a text that names
// the character and the way out, and is kept in the Unicode mode.
var fresh = new ActiveXObject("VeskMail.MIMEMessage");
check(fresh.MimeBody.ContentType === "text/plain", "an untyped part reads as " + fresh.MimeBody.ContentType);
try {
  fresh.Text = "\u041f";
  check(false, "Cyrillic text taken in the ANSI mode of a Western system");
} catch (e) {
  check((e.number >>> 0) === 0x80070057 && e.description.indexOf("U+041F") >= 0 &&
        e.description.indexOf('Charset = "utf-8"') >= 0, "ANSI refusal: " + (e.number >>> 0).toString(16) + " " + e.description);
}
fresh.Charset = "utf-8";
fresh.Text = "\u041f";
check(fresh.Text === "\u041f", "the Unicode mode keeps U+041F");

// Header text follows the same rule: in the ANSI mode a character it cannot
// hold is refused (never written as "?"), and nothing changes.
var japanese = "\u65e5\u672c";
var headers = new ActiveXObject("VeskMail.MIMEMessage");
headers.Subject = "kept";
var attached = headers.Attachments.Add();
var setters = [["Subject", function () { headers.Subject = japanese; }],
               ["From.Name", function () { headers.From.Name = japanese; }],
               ["a field", function () { headers.HeaderFields.Add("X-Note", japanese); }],
               ["a file name", function () { attached.FileName = japanese + ".pdf"; }]];
for (var i = 0; i < setters.length; i++) {
  var refusal = failureOf(setters[i][1]);
  check(refusal.indexOf("U+65E5") >= 0 && refusal.indexOf('Charset = "utf-8"') >= 0, setters[i][0] + ": " + refusal);
}
check(headers.Subject === "kept" && !headers.HeaderFields.Exists("X-Note"), "a refused text changes nothing");
check(headers.RawMessage.indexOf("??") < 0, "no question marks were written");
// A message read whose text is UTF-8 says so, and keeps what a caller edits.
var loaded = new ActiveXObject("VeskMail.MIMEMessage");
loaded.RawMessage = "Subject: =?utf-8?B?5pel5pys?=\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nx\r\n";
check(loaded.Charset === "utf-8" && loaded.Subject === japanese, "loaded UTF-8: " + loaded.Charset + " " + loaded.Subject);
loaded.Subject = japanese + "!";
var reread = new ActiveXObject("VeskMail.MIMEMessage");
reread.RawMessage = loaded.RawMessage;
check(reread.Subject === japanese + "!", "an edited subject keeps its characters: " + reread.Subject);
// Text the ANSI code page cannot hold given as a whole message is read as UTF-8.
var given = new ActiveXObject("VeskMail.MIMEMessage");
given.RawMessage = "Subject: " + japanese + "\r\n\r\nx\r\n";
check(given.Charset === "utf-8" && given.Subject === japanese, "raw text outside the code page: " + given.Subject);

// An address in the display-name form is taken apart. (That looking at a
// list adds no field is the engine suite's.)
var lists = new ActiveXObject("VeskMail.MIMEMessage");
lists.To.Add().Address = "Bob <bob@localhost>";
var bob = lists.To.Item(1);
check(bob.Address === "bob@localhost" && bob.Name === "Bob", "display-name form: " + bob.Name + " / " + bob.Address);
finish();
