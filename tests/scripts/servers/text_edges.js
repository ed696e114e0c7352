// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Text outside ASCII on its way to a script, where a VBScript under Wine
// cannot name such characters: an OAuth 2 provider's description written
// with JSON escapes; and the time a silent token endpoint may cost. (An
// IMAP4 part's text in Latin-1: imap_names.js.)

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

finish();
