' tests/scripts/prelude.vbs
' OAuth 2 tokens from VeskMail.OAuth2 against the local OAuth 2 server
' (tools/oauth2_server.sh, VESK_OAUTH2_URL), whose tokens Dovecot checks,
' through the Windows side of HTTPS, of the loopback listener and of the
' token file: client credentials and a browser sign-in give tokens; a token,
' and the OAuth2 object itself, sign in to submission, POP3 and IMAP4; a token
' with less than a minute left is refreshed at Connect; the token file holds no token
' in clear and lets a later object go on alone; refusals carry the server's
' error and description; a redirect with another state is refused. (The
' device sign-in through this DLL, and a send with its token, is the OAuth 2
' example's harness.)
Dim base : base = Env("VESK_OAUTH2_URL")
Dim scratch : scratch = ScratchFolder("vesk_oauth2")
Dim traceFile : traceFile = fso.BuildPath(scratch, "trace.txt")

Function NewOAuth(clientId, secret)
  Dim o : Set o = CreateObject("VeskMail.OAuth2")
  o.TokenEndpoint = base & "/token"
  o.AuthorizationEndpoint = base & "/authorize"
  o.DeviceAuthorizationEndpoint = base & "/device_authorization"
  o.ClientId = clientId : o.ClientSecret = secret : o.Scope = "mail offline_access"
  o.TimeOut = 10000
  Set NewOAuth = o
End Function

' The error a call left, as "description" (empty when it succeeded).
Function Failure(o, member, argument)
  On Error Resume Next
  Select Case member
    Case "RequestToken" : o.RequestToken
    Case "WaitForAuthorization" : o.WaitForAuthorization argument
  End Select
  Failure = Err.Description
  If Err.Number <> 0 Then Check Err.Source = "VeskMail.OAuth2.1", member & " source: " & Err.Source
  On Error GoTo 0
End Function

' An address as the value of a form field: escaped where the form's own
' syntax would read it otherwise (Wine's VBScript has no Escape).
Function FormText(text)
  FormText = Replace(Replace(Replace(Replace(text, "%", "%25"), "&", "%26"), "+", "%2B"), "=", "%3D")
End Function

' Plays the browser: the local OAuth 2 server visits the address for the
' script (Wine's script engine cannot stop its HTTP object from following a
' redirect) and follows the redirect to the object's loopback listener.
' Gives the listener's HTTP status.
Function Visit(address)
  Dim http : Set http = CreateObject("WinHttp.WinHttpRequest.5.1")
  http.Open "POST", base & "/test/browse", False
  http.SetRequestHeader "Content-Type", "application/x-www-form-urlencoded"
  http.Send "url=" & FormText(address)
  Dim reply : reply = http.ResponseText
  Check InStr(reply, """redirected_to"":""http://127.0.0.1:") > 0 Or Left(address, 17) = "http://127.0.0.1:", _
    "the sign-in ends at the loopback listener: " & reply
  Visit = CInt(Mid(reply, InStr(reply, """status"":") + 9, 3))
End Function

' Signs in with the token, or with the OAuth2 object that gives one at each
' Connect: to submission (STARTTLS, sending one message), POP3 and IMAP4,
' with XOAUTH2 (chosen for SMTP and POP3, which Dovecot lists it for; asked
' for by IMAP4), then each of the three again with OAUTHBEARER.
Sub SignInEverywhere(credential, what)
  Dim p, o, method
  For Each method In Array(0, 4)
    For Each p In Array(Array("SMTP", "localhost", "VESK_SUBMISSION_PORT", "235 "), _
                        Array("POP3", "127.0.0.1", "VESK_POP3_PORT", "+OK"), _
                        Array("IMAP4", "127.0.0.1", "VESK_IMAP_PORT", " OK"))
      Set o = Client(p(0), p(1), p(2))
      o.Password = "" : o.AuthMethod = method : o.TraceFile = traceFile
      If IsObject(credential) Then Set o.OAuth2 = credential Else o.AccessToken = credential
      If p(0) = "SMTP" Then o.User = "vesk" : o.Security = 1
      If p(0) = "IMAP4" And method = 0 Then o.AuthMethod = 3
      o.Connect
      Check InStr(o.LastServerReply, p(3)) = 1 Or (p(0) = "IMAP4" And InStr(o.LastServerReply, p(3)) > 0), _
        what & ", method " & method & ": " & p(0) & " sign-in " & o.LastServerReply
      If p(0) = "SMTP" Then o.Send NewMessage("vesk@localhost", "OAuth 2: " & what & " " & method, "Token." & vbCrLf)
      o.Disconnect
    Next
  Next
End Sub

EmptyMailbox

' Client credentials.
Dim service : Set service = NewOAuth("vesk-service", "vesk-service-secret")
service.RequestToken
Check service.ExpiresIn > 3500 And service.ExpiresIn <= 3600, "client credentials lifetime " & service.ExpiresIn
SignInEverywhere service.AccessToken, "client credentials"
Check Failure(NewOAuth("vesk-service", "wrong-secret"), "RequestToken", 0) = "OAuth 2 endpoint " & base & _
  "/token answered invalid_client: Client authentication failed for vesk-service: wrong secret", "wrong secret"

' Endpoints given by address: the certificate names 127.0.0.1, not 127.0.0.3.
Dim byAddress : Set byAddress = NewOAuth("vesk-service", "vesk-service-secret")
byAddress.TokenEndpoint = Replace(base, "localhost", "127.0.0.1") & "/token"
byAddress.RequestToken
Check byAddress.ExpiresIn > 3500, "token from an endpoint given by its address"
byAddress.TokenEndpoint = Replace(base, "localhost", "127.0.0.3") & "/token"
Check Failure(byAddress, "RequestToken", 0) = "OAuth 2 endpoint " & Replace(base, "localhost", "127.0.0.3") & _
  "/token cannot be reached: the server's certificate is not issued for 127.0.0.3", "unnamed address"

' Browser sign-in with the script as the browser, the tokens kept in a file.
Dim tokenFile : tokenFile = fso.BuildPath(scratch, "tokens.dat")
Dim browser : Set browser = NewOAuth("short-app", "")
browser.OpenBrowser = False
browser.TokenFile = tokenFile
Check Not browser.LoadTokens(), "no token file before the first sign-in"
Dim address : address = browser.StartAuthorization()
Check Visit(address) = 200, "the listener thanks the browser"
browser.WaitForAuthorization 10
Dim first : first = browser.AccessToken
Check browser.ExpiresIn > 55 And browser.ExpiresIn <= 61, "short lifetime " & browser.ExpiresIn

Dim stored : stored = fso.OpenTextFile(tokenFile).ReadAll
Check InStr(stored, Mid(first, Len(first) - 40)) = 0, "the token file shows the access token"
Check InStr(stored, browser.RefreshToken) = 0, "the token file shows the refresh token"

' Given the OAuth2 object, each Connect asks it for a current token: a token
' with less than a minute left (once two seconds have passed) is refreshed at
' the next Connect. (A refresh at the next use of AccessToken is the engine
' suite's.)
Dim refreshBefore : refreshBefore = browser.RefreshToken
Dim started : started = Timer
Do While Timer - started < 2.1 And Timer >= started
Loop
SignInEverywhere browser, "OAuth2 object"
Check browser.RefreshToken <> refreshBefore, "refreshed at Connect"
' An OAuth2 object without a token: Connect fails with its text.
Dim noToken : Set noToken = Client("POP3", "127.0.0.1", "VESK_POP3_PORT")
Dim fresh : Set fresh = CreateObject("VeskMail.OAuth2")
noToken.Password = ""
Set noToken.OAuth2 = fresh
Check noToken.OAuth2 Is fresh, "OAuth2 reads back"
On Error Resume Next
noToken.Connect
Check Err.Description = "No OAuth 2 access token yet: request one, sign in, or load the token file", _
  "Connect without a token: " & Err.Description
Check Err.Source = "VeskMail.POP3.1", "source of the Connect failure: " & Err.Source
On Error GoTo 0
Set noToken.OAuth2 = Nothing
Check noToken.OAuth2 Is Nothing, "OAuth2 set to Nothing"

' A later run from the token file alone.
Dim later : Set later = CreateObject("VeskMail.OAuth2")
later.TokenEndpoint = base & "/token" : later.ClientId = "short-app" : later.TokenFile = tokenFile
Check later.LoadTokens(), "the token file loads"
Check later.RefreshToken = browser.RefreshToken, "the refreshed token was written back"

' A redirect that does not carry the state this sign-in sent.
Dim forged : Set forged = NewOAuth("vesk-app", "")
forged.OpenBrowser = False
forged.StartAuthorization
Check Visit(forged.RedirectUri & "?code=stolen&state=another") = 400, "the listener refuses another state"
Check Failure(forged, "WaitForAuthorization", 5) = _
  "Authorization redirect refused: its state is not the one this sign-in sent", "wrong state"

Dim mailbox : Set mailbox = MailboxWith(4)
Check mailbox.MessageCount = 4, "four messages sent with tokens (" & mailbox.MessageCount & ")"
mailbox.Disconnect

' Both mechanisms went over the wire on all three protocols, no token shown.
Dim trace : trace = fso.OpenTextFile(traceFile).ReadAll
Dim shown
' (Dovecot's tokens are longer than SMTP's AUTH line may carry: they follow the 334.)
For Each shown In Array(" C: AUTH XOAUTH2", " C: AUTH OAUTHBEARER", " AUTHENTICATE XOAUTH2", " AUTHENTICATE OAUTHBEARER")
  Check InStr(trace, shown) > 0, "trace lacks " & shown
Next
Check InStr(trace, Mid(service.AccessToken, 40)) = 0, "the trace shows a token"
Check InStr(trace, "bixhPXZlc2ss") = 0, "the trace shows an OAUTHBEARER response"
Finish
