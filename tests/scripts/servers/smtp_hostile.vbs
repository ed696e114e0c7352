' Text from a web form cannot add commands to the SMTP dialogue: a recipient
' or sender holding a line break is refused before anything is sent, and the
' session stays usable for the next message.
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim shell, smtp, message
Set shell = CreateObject("WScript.Shell")

Function Pop3Session()
  Dim session : Set session = CreateObject("VeskMail.POP3")
  session.Host = "127.0.0.1" : session.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_POP3_PORT%"))
  session.User = "vesk" : session.Password = "vesk-pass"
  session.Connect
  Set Pop3Session = session
End Function

' Start from an empty mailbox.
Dim pop3, i
Set pop3 = Pop3Session()
For i = 1 To pop3.MessageCount
  pop3.Delete i
Next
pop3.Disconnect

Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1"
smtp.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_SMTP_PORT%"))
smtp.Connect

Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "form@example.com"
message.Subject = "from the form"
message.Text = "hello" & vbCrLf

On Error Resume Next
smtp.Send message, "vesk@localhost>" & vbCrLf & "RCPT TO:<victim@example.com"
Check Err.Number = &H80004005 And Err.Description = "Invalid response on RCPT TO: command.", _
      "hostile recipient refused: " & Err.Description
Err.Clear
smtp.Send message, "vesk@localhost", "form@example.com>" & vbLf & "DATA"
Check Err.Number = &H80004005 And Err.Description = "Invalid response on MAIL From: command.", _
      "hostile sender refused: " & Err.Description
Err.Clear
' A display name with quotes and commas stays one recipient in the header.
message.To.Add.Address = "vesk@localhost"
message.To(1).Name = "a"", <x@evil.example>, ""b"
smtp.Send message
Check Err.Number = 0, "the session is still usable: " & Err.Description
Err.Clear
On Error GoTo 0
smtp.Disconnect

' The one message that went out arrives with one To address.
Dim tries, fetched
For tries = 1 To 50
  Set pop3 = Pop3Session()
  If pop3.MessageCount > 0 Then Exit For
  pop3.Disconnect
  WScript.Sleep 100
Next
Check pop3.MessageCount = 1, "exactly one message arrived, found " & pop3.MessageCount
Set fetched = pop3.Retrieve(1)
Check fetched.To.Count = 1, "one To address, found " & fetched.To.Count
Check fetched.To(1).Name = "a"", <x@evil.example>, ""b", "the display name survives: " & fetched.To(1).Name
For i = 1 To pop3.MessageCount
  pop3.Delete i
Next
pop3.Disconnect

If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
