' send_and_fetch.vbs - the whole road: compose a message with an attachment,
' send it over SMTP, fetch it back over POP3 and print what arrived.
'
' A mail provider's submission port, with STARTTLS and signing in (the usual
' settings; the same user name and password serve SMTP and POP3):
'   cscript send_and_fetch.vbs /host:smtp.example.com /port:587 /security:starttls /pop3:110
'           /user:me@example.com /password:secret /to:me@example.com
' with an OAuth 2 access token instead of a password:
'   ... /user:me@example.com /token:ya29.a0Af... /to:me@example.com
' implicit TLS (ports 465 and 995):  /port:465 /security:tls /pop3:995
' a plain server on your own network, no TLS, no signing in to SMTP:
'   cscript send_and_fetch.vbs /host:127.0.0.1 /port:25 /pop3:110 /user:me /password:secret /to:me@example.com
'
'   /security:  none (default), starttls (after the greeting), tls (from the first
'               byte), for SMTP and POP3; with starttls or tls SMTP signs in too
'   /port:      the SMTP port (25; /smtp: says the same); /pop3: the POP3 port (110)
'   /token:     an OAuth 2 access token, used instead of /password:
Option Explicit

Dim host, smtpPort, pop3Port, user, password, token, recipient, security
host = Setting("host", "127.0.0.1")
smtpPort = CInt(Setting("port", Setting("smtp", "25")))
pop3Port = CInt(Setting("pop3", "110"))
user = Setting("user", "vesk")
password = Setting("password", "vesk-pass")
token = Setting("token", "")
recipient = Setting("to", "vesk@localhost")
Select Case LCase(Setting("security", "none"))
  Case "none" : security = 0
  Case "starttls" : security = 1
  Case "tls" : security = 2
  Case Else
    WScript.Echo "/security: is none, starttls or tls"
    WScript.Quit 2
End Select

' The value of a /name:value argument, or the fallback.
Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

' Compose, with a small file attached.
Dim fso, attachmentPath
Set fso = CreateObject("Scripting.FileSystemObject")
attachmentPath = fso.BuildPath(fso.GetSpecialFolder(2), "figures.csv")
With fso.CreateTextFile(attachmentPath, True)
  .WriteLine "quarter,revenue"
  .WriteLine "Q1,1200"
  .Close
End With

Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "reports@example.com"
message.To.Add.Address = recipient
message.Subject = "Figures " & Now
message.Text = "The figures are attached." & vbCrLf
message.Attach attachmentPath

' Send.
Dim smtp
Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = host
smtp.Port = smtpPort
If security <> 0 Then
  ' Over TLS the script signs in: with the token when one is given (XOAUTH2),
  ' else with the password.
  smtp.Security = security
  smtp.User = user
  If token <> "" Then smtp.AccessToken = token Else smtp.Password = password
End If
On Error Resume Next
smtp.Connect
If Err.Number = 0 Then smtp.Send message
If Err.Number <> 0 Then
  ' The library's own text, and what the server said.
  WScript.Echo "Sending failed: " & Err.Description
  If security <> 0 Then WScript.Echo "The server said: " & smtp.LastServerReply
  WScript.Quit 1
End If
On Error GoTo 0
smtp.Disconnect
WScript.Echo "Sent """ & message.Subject & """ to " & recipient

' Fetch: delivery takes a moment, so look again for a few seconds.
Dim pop3, tries
For tries = 1 To 50
  Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = host
  pop3.Port = pop3Port
  pop3.Security = security
  pop3.User = user
  If token <> "" Then pop3.AccessToken = token Else pop3.Password = password
  pop3.Connect
  If pop3.MessageCount > 0 Then Exit For
  pop3.Disconnect
  WScript.Sleep 100
Next
If pop3.MessageCount = 0 Then
  WScript.Echo "Nothing arrived."
  WScript.Quit 1
End If

Dim fetched, n
n = pop3.MessageCount
WScript.Echo "Mailbox holds " & n & " message(s); the newest is " & pop3.GetMessageSize(n) & " bytes."
Set fetched = pop3.Retrieve(n)
WScript.Echo "Subject: " & fetched.Subject
WScript.Echo "From:    " & fetched.From.Address
WScript.Echo "Text:    " & Replace(fetched.Text, vbLf, " ")
Dim attachment
For Each attachment In fetched.Attachments
  WScript.Echo "Attachment " & attachment.FileName & " (" & attachment.ContentType & "): " & _
               Replace(attachment.SimpleContent, vbCrLf, " | ")
Next

' Remove it again; the deletion takes effect when the session ends.
pop3.Delete n
pop3.Disconnect
WScript.Echo "Deleted message " & n & "."
