// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Text outside ASCII on its way to a script, where a VBScript under Wine
// cannot name such characters: an OAuth 2 provider's description written
// with JSON escapes, an IMAP4 part's text in Latin-1 quoted-printable; and
// the time a silent token endpoint may cost.

// The provider's texts are UTF-8 and reach Err.Description whole.
var base = env("VESK_OAUTH2_URL");
function oauth(clientId) {
  var o = new ActiveXObject("VeskMail.OAuth2");
  o.TokenEndpoint = base + "/token";
  o.ClientId = clientId;
  o.TimeOut = 10000;
  return o;
}
var refused = oauth("accent-refused");
check(failureOf(function () { refused.RequestToken(); }) === "OAuth 2 endpoint " + base +
      "/token answered invalid_client: Acc\u00e8s refus\u00e9 \u62d2\u5426", "a description outside ASCII");
check(refused.LastError === 300, "LastError after a refusal: " + refused.LastError);

// An endpoint that takes the request and never answers costs about TimeOut.
var silent = oauth("silent");
silent.TimeOut = 2000;
var started = new Date().getTime();
var silence = failureOf(function () { silent.RequestToken(); });
var took = new Date().getTime() - started;
check(took < 6000, "a silent endpoint held RequestToken " + took + " ms with TimeOut 2000");
check(silence.indexOf("/token cannot be reached: WinHTTP error 12002: ") > 0 && refused.LastError === 300 &&
      silent.LastError === 303, "a silent endpoint: " + silence + " (" + silent.LastError + ")");

// A two-line quoted-printable Latin-1 part as another program wrote it: its
// text has CR LF line breaks and nothing added; the whole message's Text
// (LF line breaks) says the same.
var imap = new ActiveXObject("VeskMail.IMAP4");
imap.Host = "127.0.0.1"; imap.Port = port("VESK_IMAP_PORT"); imap.User = "vesk"; imap.Password = "vesk-pass";
imap.Connect();
var folder = "VeskTextEdges";
try { imap.DeleteMailbox(folder); } catch (ignored) {}
imap.CreateMailbox(folder);
var latin = new ActiveXObject("VeskMail.MIMEMessage");
latin.RawMessage = ["From: vesk@localhost", "Subject: latin", "Content-Type: multipart/mixed; boundary=\"b\"", "",
                    "--b", "Content-Type: text/plain; charset=ISO-8859-1",
                    "Content-Transfer-Encoding: quoted-printable", "", "Hello parts, f=FCr alle.", "Zweite Zeile.",
                    "--b--", ""].join("\r\n");
imap.AppendMessage(folder, latin);
imap.MailboxName = folder;
imap.SelectMailbox(true);
var partText = imap.GetPartText(1, "1");
check(partText === "Hello parts, f\u00fcr alle.\r\nZweite Zeile.\r\n",
      "a quoted-printable part's text: " + partText.replace(/\r/g, "<CR>").replace(/\n/g, "<LF>"));
check(partText.replace(/\r\n/g, "\n") === imap.Retrieve(1).Text, "the part's text and the message's");
check(imap.LastError === 0, "LastError after a success: " + imap.LastError);
check(failureOf(function () { imap.GetPartText(1, "7"); }) === "The message has no part \"7\"", "no part 7");
check(imap.LastError === 233, "LastError names the message text: " + imap.LastError);
imap.MailboxName = "INBOX";
imap.SelectMailbox(false);
imap.DeleteMailbox(folder);
imap.Disconnect();
finish();
