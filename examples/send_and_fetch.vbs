' send_and_fetch.vbs - the whole road: compose a message with an attachment,
' send it over SMTP, fetch it back over POP3 and print what arrived.
'   cscript send_and_fetch.vbs /host:127.0.0.1 /smtp:25 /pop3:110 /user:me /password:secret /to:me@example.com
Option Explicit

Dim host, smtpPort, pop3Port, user, password, recipient
host = Setting("host", "127.0.0.1")
smtpPort = CInt(Setting("smtp", "25"))
pop3Port = CInt(Setting("pop3", "110"))
user = Setting("user", "vesk")
password = Setting("password", "vesk-pass")
recipient = Setting("to", "vesk@localhost")

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
smtp.Connect
smtp.Send message
smtp.Disconnect
WScript.Echo "Sent """ & message.Subject & """ to " & recipient

' Fetch: delivery takes a moment, so look again for a few seconds.
Dim pop3, tries
For tries = 1 To 50
  Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = host
  pop3.Port = pop3Port
  pop3.User = user
  pop3.Password = password
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
