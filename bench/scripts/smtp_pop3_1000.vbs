' Sends 1,000 small messages over one SMTP connection and retrieves 1,000
' messages over one POP3 connection, through veskmail.dll, and prints the
' times. Run with the private servers started (tools/mailservers.sh start):
'   /usr/lib/wine/wine64 build/win64/bin/script_host.exe bench/scripts/smtp_pop3_1000.vbs /smtp:2525 /pop3:2110
Option Explicit
Const MESSAGES = 1000

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

Function Pop3Session()
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = "127.0.0.1" : pop3.Port = CInt(Setting("pop3", "2110"))
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  pop3.Connect
  Set Pop3Session = pop3
End Function

Dim pop3, i, started, seconds
Set pop3 = Pop3Session()
For i = 1 To pop3.MessageCount
  pop3.Delete i
Next
pop3.Disconnect

Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "bench@example.com"
message.To.Add.Address = "vesk@localhost"
message.Subject = "bench"
message.Text = "A small message for the benchmark." & vbCrLf

Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = CInt(Setting("smtp", "2525"))
started = Timer
smtp.Connect
For i = 1 To MESSAGES
  smtp.Send message
Next
smtp.Disconnect
seconds = Timer - started
WScript.Echo "SMTP: sent " & MESSAGES & " messages over one connection in " & FormatNumber(seconds, 3) & " s"

' Wait until every message is in the mailbox.
Dim tries
For tries = 1 To 600
  Set pop3 = Pop3Session()
  If pop3.MessageCount >= MESSAGES Then Exit For
  pop3.Disconnect
  WScript.Sleep 100
Next
started = Timer
Dim fetched
For i = 1 To MESSAGES
  Set fetched = pop3.Retrieve(i)
Next
seconds = Timer - started
WScript.Echo "POP3: retrieved " & MESSAGES & " messages over one connection in " & FormatNumber(seconds, 3) & " s"
For i = 1 To MESSAGES
  pop3.Delete i
Next
pop3.Disconnect
