' One round of the work bench/scripts/automation_bench.sh sets beside curl
' and Python's smtplib, through veskmail.dll from VBScript, on the loopback
' Postfix and Dovecot:
'   /task:send      empties the mailbox (POP3), sends /reps: messages over one
'                   SMTP connection, then waits until all are delivered; with
'                   /save:FILE it first saves the message there, for smtplib;
'                   /extensions:1 says EHLO and uses the extensions
'   /task:retrieve  retrieves messages 1 to /reps: over one POP3 connection,
'                   then fetches them over one IMAP4 connection (INBOX)
' Each is timed from connecting to disconnecting, as smtplib is and as curl
' is with its own start (a few milliseconds) besides; making the objects,
' the emptying and the wait for delivery are not timed. Prints "send-ms MS"
' or "pop3-ms MS" and "imap-ms MS".
'   script_host.exe automation_peers.vbs /task:send|retrieve /smtp:P /pop3:P /imap:P [/reps:1000] [/save:FILE] [/extensions:1]
Option Explicit

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = LCase("/" & name & ":")
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

' Milliseconds since a Timer reading, across midnight too, written with a
' decimal point whatever the locale.
Function Elapsed(started)
  Dim seconds : seconds = Timer - started
  If seconds < 0 Then seconds = seconds + 86400
  Elapsed = Replace(CStr(Round(seconds * 1000, 1)), ",", ".")
End Function

Function NewPop3()
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = "127.0.0.1" : pop3.Port = CLng(Setting("pop3", "2110"))
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  Set NewPop3 = pop3
End Function

Function Pop3Session()
  Set Pop3Session = NewPop3()
  Pop3Session.Connect
End Function

' Waits (up to two minutes) until the mailbox holds exactly count messages.
Sub WaitForMailbox(count)
  Dim tries, pop3, held
  For tries = 1 To 1200
    Set pop3 = Pop3Session()
    held = pop3.MessageCount
    pop3.Disconnect
    If held = count Then Exit Sub
    WScript.Sleep 100
  Next
  Err.Raise 5, "automation_peers.vbs", "the mailbox holds " & held & " messages, not " & count
End Sub

Dim reps, i, started, pop3
reps = CLng(Setting("reps", "1000"))

Select Case LCase(Setting("task", ""))
Case "send"
  Set pop3 = Pop3Session()
  For i = 1 To pop3.MessageCount
    pop3.Delete i
  Next
  pop3.Disconnect
  WaitForMailbox 0
  WScript.Sleep 300  ' as smtplib's rounds: let the file system settle

  Dim message
  Set message = CreateObject("VeskMail.MIMEMessage")
  message.From.Address = "bench@example.com"
  message.To.Add.Address = "vesk@localhost"
  message.Subject = "bench"
  message.Date = "Sun, 06 Dec 2026 10:00:00 +0000"
  message.Text = "A small message for the benchmark." & vbCrLf & ".A line with a period in front." & vbCrLf
  If Setting("save", "") <> "" Then message.Save Setting("save", "")

  Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
  smtp.Host = "127.0.0.1" : smtp.Port = CLng(Setting("smtp", "2525"))
  ' EHLO and the server's extensions (PIPELINING) instead of the plain
  ' HELO dialogue, as smtplib's EHLO.
  If Setting("extensions", "0") = "1" Then smtp.UseExtensions = True
  started = Timer
  smtp.Connect
  For i = 1 To reps
    smtp.Send message
  Next
  smtp.Disconnect
  WScript.Echo "send-ms " & Elapsed(started)
  WaitForMailbox reps

Case "retrieve"
  ' Each timed from Connect, as the sends: the objects (and with the first,
  ' the DLL and its type library) are made before.
  Dim fetched, imap
  Set pop3 = NewPop3()
  started = Timer
  pop3.Connect
  For i = 1 To reps
    Set fetched = pop3.Retrieve(i)
  Next
  pop3.Disconnect
  WScript.Echo "pop3-ms " & Elapsed(started)

  Set imap = CreateObject("VeskMail.IMAP4")
  imap.Host = "127.0.0.1" : imap.Port = CLng(Setting("imap", "2143"))
  imap.User = "vesk" : imap.Password = "vesk-pass" : imap.MailboxName = "INBOX"
  started = Timer
  imap.Connect
  imap.SelectMailbox False
  For i = 1 To reps
    Set fetched = imap.Retrieve(i)
  Next
  imap.Disconnect
  WScript.Echo "imap-ms " & Elapsed(started)

Case Else
  Err.Raise 5, "automation_peers.vbs", "/task:send or /task:retrieve"
End Select
