// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Sending with the SMTP extensions asked for, to a server that lists none
// (npm's smtp-server with them switched off, recording each transaction):
// delivery reports and an international local part fail with clear texts
// before anything is sent; an international domain goes as its A-label;
// a partial delivery goes one command at a time and names the refused one.
var shell = new ActiveXObject("WScript.Shell");
var fso = new ActiveXObject("Scripting.FileSystemObject");
function env(name) { return shell.ExpandEnvironmentStrings("%" + name + "%").replace(/\0/g, ""); }
var logFile = "Z:" + env("VESK_SMTP_NPM_LOG").replace(/\//g, "\\");
var scratch = fso.BuildPath(fso.GetSpecialFolder(2).Path, "vesk_smtp_without_extensions");
if (fso.FolderExists(scratch)) fso.DeleteFolder(scratch, true);
fso.CreateFolder(scratch);
var traceFile = fso.BuildPath(scratch, "trace.txt");
var joerg = "j\u00f6rg@m\u00fcller.example";

function readAll(path) {
  if (!fso.FileExists(path)) return "";
  var stream = fso.OpenTextFile(path, 1), text = stream.AtEndOfStream ? "" : stream.ReadAll();
  stream.Close();
  return text;
}
function failureOf(action) {
  try { action(); return ""; } catch (e) { return e.description; }
}
function message(recipients, subject) {
  var m = new ActiveXObject("VeskMail.MIMEMessage");
  m.Charset = "utf-8";
  m.From.Address = "me@vesk.test";
  for (var i = 0; i < recipients.length; i++) m.To.Add().Address = recipients[i];
  m.Subject = subject;
  m.Text = "Hello\r\n";
  return m;
}

if (env("VESK_SMTP_NPM_PORT").charAt(0) === "%" || !fso.FileExists(logFile)) {
  WScript.Echo("FAIL: the plain recording server is not running (tools/mailservers.sh start)");
  failures++;
  finish();
}
var before = readAll(logFile).length;
var smtp = new ActiveXObject("VeskMail.SMTP");
smtp.Host = "127.0.0.1"; smtp.Port = parseInt(env("VESK_SMTP_NPM_PORT"), 10); smtp.TraceFile = traceFile;
smtp.EnvelopeID = "report please";
smtp.Connect();
var error = failureOf(function () { smtp.Send(message(["a@vesk.test"], "report")); });
check(error === "Server does not offer delivery status notifications (DSN)", "no DSN: " + error);
smtp.EnvelopeID = "";
error = failureOf(function () { smtp.Send(message(["a@vesk.test", joerg], "utf8")); });
check(error === "Address \"" + joerg + "\" needs a server that offers international addresses (SMTPUTF8)",
      "no SMTPUTF8: " + error);
smtp.AllowPartialDelivery = true;
smtp.Send(message(["a@vesk.test", "post@m\u00fcller.example", "nobody@vesk.test"], "partial"));
var refused = new VBArray(smtp.RefusedRecipients).toArray(), replies = new VBArray(smtp.RefusedReplies).toArray();
check(refused.join() === "nobody@vesk.test" && replies.join() === "550 no such mailbox here",
      "refused: " + refused.join() + " / " + replies.join());
smtp.Disconnect();

var trace = readAll(traceFile);
check(/C: EHLO /.test(trace), "EHLO: " + trace);
check(trace.match(/C: MAIL From:/g).length === 1, "nothing sent for the refused sends: " + trace);
check(/C: MAIL From: <me@vesk\.test>\r?\n[^\r\n]* S: 250/.test(trace), "one command at a time, no parameters: " + trace);
check(/C: RCPT TO: <post@xn--mller-kva\.example>\r?\n/.test(trace), "the A-label: " + trace);
var log = readAll(logFile).substr(before).replace(/\s+$/, "").split("\n");
check(log.length === 1, "one transaction recorded: " + log.join(" / "));
// (The server shows the A-label's domain as Unicode again.)
check(/"to":\["a@vesk\.test","post@m[^"]+ller\.example"\]/.test(log[0]) && log[0].indexOf('"mailArgs":{}') >= 0,
      "as recorded: " + log[0]);
finish();
