// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Sending with the SMTP extensions asked for, to a server that lists none
// (npm's smtp-server with them switched off, recording each transaction):
// delivery reports and an international local part fail with clear texts
// before anything is sent; a partial delivery names the refused recipient
// and goes as one transaction without parameters. (The commands themselves
// are the engine suite's SMTP dialogues.)
var logFile = "Z:" + env("VESK_SMTP_NPM_LOG").replace(/\//g, "\\");
var joerg = "j\u00f6rg@m\u00fcller.example";
if (env("VESK_SMTP_NPM_PORT").charAt(0) === "%" || !fso.FileExists(logFile)) {
  WScript.Echo("FAIL: the plain recording server is not running (tools/mailservers.sh start)");
  failures++;
  finish();
}
var before = readAll(logFile).length;
var smtp = new ActiveXObject("VeskMail.SMTP");
smtp.Host = "127.0.0.1"; smtp.Port = port("VESK_SMTP_NPM_PORT");
smtp.EnvelopeID = "report please";
smtp.Connect();
var error = failureOf(function () { smtp.Send(message("me@vesk.test", ["a@vesk.test"], "report", "Hello\r\n")); });
check(error === "Server does not offer delivery status notifications (DSN)", "no DSN: " + error);
smtp.EnvelopeID = "";
error = failureOf(function () { smtp.Send(message("me@vesk.test", ["a@vesk.test", joerg], "utf8", "Hello\r\n")); });
check(error === "Address \"" + joerg + "\" needs a server that offers international addresses (SMTPUTF8)",
      "no SMTPUTF8: " + error);
smtp.AllowPartialDelivery = true;
var recipients = ["a@vesk.test", "post@m\u00fcller.example", "nobody@vesk.test"];
smtp.Send(message("me@vesk.test", recipients, "partial", "Hello\r\n"));
var refused = vbArray(smtp.RefusedRecipients), replies = vbArray(smtp.RefusedReplies);
check(refused.join() === "nobody@vesk.test" && replies.join() === "550 no such mailbox here",
      "refused: " + refused.join() + " / " + replies.join());
smtp.Disconnect();

var log = readAll(logFile).substr(before).replace(/\s+$/, "").split("\n");
check(log.length === 1, "one transaction recorded: " + log.join(" / "));
// (The server shows the A-label's domain as Unicode again.)
check(/"to":\["a@vesk\.test","post@m[^"]+ller\.example"\]/.test(log[0]) && log[0].indexOf('"mailArgs":{}') >= 0,
      "as recorded: " + log[0]);
finish();
