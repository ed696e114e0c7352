' api_send_and_fetch.vbs - sends a message and reads the inbox through the
' provider's web API (Microsoft Graph or the Gmail API), for an account whose
' SMTP, POP3 and IMAP4 are switched off. The token comes from the token file
' oauth_send.vbs keeps (run it once first with a scope the API takes, such as
' "https://graph.microsoft.com/Mail.ReadWrite https://graph.microsoft.com/Mail.Send offline_access"
' or "https://www.googleapis.com/auth/gmail.modify"), or, for an application
' with a secret, from client credentials.
'   cscript api_send_and_fetch.vbs /provider:graph /token:https://login.example/token /client:ID
'                                  /scope:"..." /to:someone@example.com
'   /provider:gmail   the Gmail API instead of Microsoft Graph
'   /tokens:FILE      the token file (default %APPDATA%\VeskMail\oauth-tokens.dat)
'   /secret:S         an application's secret: client credentials when there is no token file
'   /mailbox:ADDRESS  whose mail, for an application's token (default "me")
'   /base:https://HOST  another API host (a national cloud, a test server)
Option Explicit

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

Dim fso, shell, oauth
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
Set oauth = CreateObject("VeskMail.OAuth2")
oauth.TokenEndpoint = Setting("token", "")
oauth.ClientId = Setting("client", "")
oauth.ClientSecret = Setting("secret", "")
oauth.Scope = Setting("scope", "")
oauth.TokenFile = Setting("tokens", fso.BuildPath(shell.ExpandEnvironmentStrings("%APPDATA%"), "VeskMail\oauth-tokens.dat"))
If oauth.LoadTokens() Then
  WScript.Echo "Tokens from " & oauth.TokenFile
ElseIf oauth.ClientSecret <> "" Then
  oauth.RequestToken
  WScript.Echo "Signed in as the application"
Else
  WScript.Echo "No token file yet: sign in once with oauth_send.vbs"
  WScript.Quit 1
End If

Dim api
Set api = CreateObject("VeskMail.MailAPI")
api.Provider = Setting("provider", "graph")
If Setting("base", "") <> "" Then api.BaseAddress = Setting("base", "")
api.Mailbox = Setting("mailbox", "me")
Set api.OAuth2 = oauth   ' asked for a current token before each request

' The same message object the SMTP object sends.
Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = Setting("from", Setting("to", ""))
message.To.Add.Address = Setting("to", "")
message.Subject = "Sent through the " & api.Provider & " API at " & Now
message.Text = "This message went through the provider's web API." & vbCrLf
api.Send message
WScript.Echo "Sent: " & api.LastServerReply

Dim ids
ids = api.ListMessages("inbox", 10)
WScript.Echo "Newest messages in the inbox: " & (UBound(ids) + 1)
If UBound(ids) >= 0 Then
  Dim size, newest
  size = api.MessageSize(ids(0))   ' fetches the message once: Retrieve then takes it
  Set newest = api.Retrieve(ids(0))
  WScript.Echo "Newest: " & newest.Subject & " (" & size & " bytes)"
  api.MarkRead ids(0)
  WScript.Echo "Moved to the archive as " & api.MoveMessage(ids(0), "archive")
End If
WScript.Echo "Done."
