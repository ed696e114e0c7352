' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Dovecot stopped while POP3 and IMAP4 retrieve 5 MB, Postfix stopped while SMTP
' sends it: the call that meets it fails within TimeOut, the object then says at
' once that it is not connected, Connect fails while the server is down, and the
' same object connects and works again once it is back.
Const LIMIT = 3000
Dim control, big, message, smtp, pop3, imap, fetched
Set imap = Nothing
control = "Z:" & Replace(Env("VESK_SERVER_CONTROL"), "/", "\")

' Asks tools/run_scripts.sh to stop or start a server; `wait` until it is done.
Sub Request(name, wait)
  Dim file, started : file = fso.BuildPath(control, name) : started = Timer
  fso.CreateTextFile(file, True).Close
  Do While wait And fso.FileExists(file) And Timer - started < 60 : Loop
End Sub

Sub Transfer(obj)
  If obj Is smtp Then obj.Send message Else Set fetched = obj.Retrieve(1)
End Sub

' Transfers again and again while the server is being stopped, until a call fails.
Sub ExpectBreak(what, obj, server)
  Dim started, spent, tries, asked
  Request "stop-" & server, False
  On Error Resume Next
  ' Until a call fails, for up to a minute: a stop takes seconds on a busy
  ' machine, and a 5 MB transfer takes only tens of milliseconds.
  asked = Timer
  Do
    Err.Clear : started = Timer : Transfer obj : spent = Timer - started
  Loop While Err.Number = 0 And Timer - asked < 60
  ' (Dovecot may say "-ERR" or "BYE" before it closes: that answer fails the call.)
  Check Err.Number <> 0 And spent < LIMIT / 1000 + 1.5, what & ": a transfer fails within the time-out: " & spent & " s"
  For tries = 1 To 3  ' (the server's close may still be on its way)
    Err.Clear : Transfer obj
    If InStr(Err.Description, "Not connected") = 1 Then Exit For
  Next
  Check InStr(Err.Description, "Not connected") = 1, what & ": then not connected: " & Err.Description
  Err.Clear : obj.Connect
  Check InStr(Err.Description, "Server cannot be connected: ") = 1 And InStr(Err.Description, "(Socket error # 10061)") > 0, _
    what & ": server down: " & Err.Description
  On Error GoTo 0
  Request "start", True
  obj.Connect
  If obj Is imap Then imap.SelectMailbox False
  Transfer obj
  ' (The retrieved text comes back with LF line ends.)
  If Not obj Is smtp Then Check fetched.Subject = "5 MB" And Len(fetched.Text) >= Len(big) / 78 * 77, what & " afterwards"
End Sub

big = String(76, "x") & vbCrLf
Do While Len(big) < 5000000 : big = big & big : Loop
Set message = NewMessage("vesk@localhost", "5 MB", big)
EmptyMailbox
Set smtp = Client("SMTP", "127.0.0.1", "VESK_SMTP_PORT") : smtp.TimeOut = LIMIT
smtp.Connect
smtp.Send message
MailboxWith(1).Disconnect

Set pop3 = Pop3Session() : pop3.TimeOut = LIMIT
ExpectBreak "POP3", pop3, "dovecot"
pop3.Disconnect
Set imap = Client("IMAP4", "127.0.0.1", "VESK_IMAP_PORT") : imap.TimeOut = LIMIT : imap.MailboxName = "INBOX"
imap.Connect
imap.SelectMailbox False
ExpectBreak "IMAP4", imap, "dovecot"
imap.Disconnect
ExpectBreak "SMTP", smtp, "postfix"
smtp.Disconnect
EmptyMailbox
Finish
