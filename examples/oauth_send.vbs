' oauth_send.vbs - sends a message signed in with OAuth 2. The first run signs
' you in once, by device code (a code to enter on any device) or in the
' browser, and keeps the tokens in a file encrypted for your Windows account;
' every later run (a scheduled task, say) sends from that file alone, the
' access token refreshed whenever it is about to end.
'   cscript oauth_send.vbs /flow:device /device:https://login.example/devicecode /token:https://login.example/token
'                          /client:ID /scope:"https://mail.example/SMTP.Send offline_access"
'                          /host:smtp.example.com /port:587 /user:me@example.com /to:someone@example.com
'   /flow:browser /authorize:https://login.example/authorize  signs in in the browser instead
'   /secret:S        the client secret, for a client that has one
'   /tokens:FILE     where the tokens are kept (default %APPDATA%\VeskMail\oauth-tokens.dat)
'   /wait:SECONDS    how long the sign-in may take (default 300)
Option Explicit

' The value of a /name:value argument, or the fallback.
Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

Dim fso, shell, tokens, folder
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
folder = fso.BuildPath(shell.ExpandEnvironmentStrings("%APPDATA%"), "VeskMail")
tokens = Setting("tokens", fso.BuildPath(folder, "oauth-tokens.dat"))
If Not fso.FolderExists(fso.GetParentFolderName(tokens)) Then fso.CreateFolder fso.GetParentFolderName(tokens)

Dim oauth
Set oauth = CreateObject("VeskMail.OAuth2")
oauth.TokenEndpoint = Setting("token", "")
oauth.ClientId = Setting("client", "")
oauth.ClientSecret = Setting("secret", "")
oauth.Scope = Setting("scope", "")
oauth.TokenFile = tokens   ' new tokens are written here as they come

If oauth.LoadTokens() Then
  WScript.Echo "Signed in from " & tokens
ElseIf LCase(Setting("flow", "device")) = "browser" Then
  oauth.AuthorizationEndpoint = Setting("authorize", "")
  Dim address
  On Error Resume Next
  address = oauth.StartAuthorization()
  If Err.Number <> 0 Then WScript.Echo Err.Description   ' no browser: the address below still works
  On Error GoTo 0
  WScript.Echo "Sign in in your browser: " & oauth.AuthorizationAddress
  oauth.WaitForAuthorization CLng(Setting("wait", "300"))
  WScript.Echo "Signed in; the tokens are kept in " & tokens
Else
  oauth.DeviceAuthorizationEndpoint = Setting("device", "")
  oauth.StartDeviceAuthorization
  WScript.Echo "Open " & oauth.VerificationUri & " and enter the code " & oauth.UserCode
  oauth.WaitForDeviceAuthorization CLng(Setting("wait", "300"))
  WScript.Echo "Signed in; the tokens are kept in " & tokens
End If

Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = Setting("user", "")
message.To.Add.Address = Setting("to", Setting("user", ""))
message.Subject = "Sent with OAuth 2 at " & Now
message.Text = "This message was sent by a script signed in with OAuth 2." & vbCrLf

' Submission with STARTTLS, signed in with a current access token.
Dim smtp
Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = Setting("host", "")
smtp.Port = CInt(Setting("port", "587"))
smtp.Security = 1
smtp.User = Setting("user", "")
' The OAuth2 object itself, not a token string: every Connect asks it for a
' current token, so a run that outlasts the token's hour still signs in.
Set smtp.OAuth2 = oauth
smtp.Connect
smtp.Send message
smtp.Disconnect
WScript.Echo "Sent """ & message.Subject & """ to " & message.To.Item(1).Address
WScript.Echo "Done."
