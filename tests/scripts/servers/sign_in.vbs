' tests/scripts/prelude.vbs
' Signing in with the real servers, always over TLS: mail goes out through
' submission (password with STARTTLS; AUTH LOGIN and an OAuth 2 token with
' implicit TLS) and comes back through POP3 and IMAP4, signed in with SASL
' PLAIN and with XOAUTH2. A wrong password or token shows the server's
' reason beside a clear error; the trace holds no secret.
Function Port(name)
  Port = CInt(shell.ExpandEnvironmentStrings("%" & name & "%"))
End Function
' Wine's ExpandEnvironmentStrings keeps the terminating NUL, which a token may not hold.
Dim token : token = Replace(shell.ExpandEnvironmentStrings("%VESK_ACCESS_TOKEN%"), Chr(0), "")
Dim traceFile : traceFile = fso.BuildPath(ScratchFolder("vesk_sign_in"), "trace.txt")

' A protocol object set up to sign in (with a password, or with a token).
Function Session(kind, portName, security, method, password, accessToken)
  Dim o : Set o = CreateObject("VeskMail." & kind)
  o.Host = "localhost" : o.Port = Port(portName) : o.Security = security : o.AuthMethod = method
  o.User = "vesk" : o.Password = password : o.AccessToken = accessToken : o.TraceFile = traceFile
  Set Session = o
End Function

' Connect must fail with the clear text, the server's reason kept beside it.
Sub CheckRefused(o, reply)
  On Error Resume Next
  o.Connect
  Check Err.Description = "Authentication failed", TypeName(o) & " refused: " & Err.Description
  Check InStr(o.LastServerReply, reply) > 0, TypeName(o) & " LastServerReply: " & o.LastServerReply
  On Error GoTo 0
End Sub

EmptyMailbox
Dim s, smtp, message
For Each s In Array(Array("VESK_SUBMISSION_PORT", 1, 0, "vesk-pass", ""), _
                    Array("VESK_SUBMISSIONS_PORT", 2, 2, "vesk-pass", ""), Array("VESK_SUBMISSIONS_PORT", 2, 0, "", token))
  Set smtp = Session("SMTP", s(0), s(1), s(2), s(3), s(4))
  smtp.Connect
  Check Left(smtp.LastServerReply, 4) = "235 ", "signed in on " & s(0) & ": " & smtp.LastServerReply
  Set message = CreateObject("VeskMail.MIMEMessage")
  message.From.Address = "sender@example.com"
  message.To.Add.Address = "vesk@localhost"
  message.Subject = "signed in with method " & s(2) & " and " & Len(s(4)) & " token characters"
  message.Text = "Hello" & vbCrLf
  smtp.Send message
  Check Left(smtp.LastServerReply, 4) = "250 ", "queued: " & smtp.LastServerReply
  smtp.Disconnect
Next
CheckRefused Session("SMTP", "VESK_SUBMISSION_PORT", 1, 0, "wrong-pass", ""), "535 5.7.8"
CheckRefused Session("SMTP", "VESK_SUBMISSIONS_PORT", 2, 3, "", token & "x"), "535 5.7.8"

Dim pop3, started : started = Timer
Do
  Set pop3 = Session("POP3", "VESK_POP3S_PORT", 2, 1, "vesk-pass", "")
  pop3.Connect
  If pop3.MessageCount >= 3 Or Timer - started > 10 Then Exit Do
  pop3.Disconnect
Loop
Check pop3.MessageCount = 3, "three messages delivered (" & pop3.MessageCount & ")"
Check pop3.Retrieve(1).Subject = "signed in with method 0 and 0 token characters", "POP3 subject"
pop3.Disconnect
Set pop3 = Session("POP3", "VESK_POP3_PORT", 1, 0, "", token)
pop3.Connect
Check pop3.Retrieve(3).Subject = "signed in with method 0 and " & Len(token) & " token characters", "XOAUTH2 POP3"
pop3.Disconnect
CheckRefused Session("POP3", "VESK_POP3S_PORT", 2, 1, "wrong-pass", ""), "-ERR [AUTH]"

Dim imap
For Each s In Array(Array("VESK_IMAP_PORT", 1, 1, "vesk-pass", ""), Array("VESK_IMAPS_PORT", 2, 0, "", token))
  Set imap = Session("IMAP4", s(0), s(1), s(2), s(3), s(4))
  imap.Connect
  imap.MailboxName = "INBOX"
  imap.SelectMailbox True
  Check imap.Retrieve(2).Subject = "signed in with method 2 and 0 token characters", "IMAP4 on " & s(0)
  Check InStr(imap.LastServerReply, " OK ") > 0, "IMAP4 LastServerReply: " & imap.LastServerReply
  imap.Disconnect
Next
CheckRefused Session("IMAP4", "VESK_IMAPS_PORT", 2, 1, "wrong-pass", ""), "NO [AUTHENTICATIONFAILED]"

' In plain text Dovecot at 127.0.0.2 lists LOGINDISABLED: LOGIN is not sent.
Set imap = Session("IMAP4", "VESK_IMAP_PORT", 0, 0, "vesk-pass", "")
imap.Host = "127.0.0.2"
On Error Resume Next
imap.Connect
Check InStr(Err.Description, "LOGINDISABLED") > 0, "LOGINDISABLED: " & Err.Description
On Error GoTo 0

Dim trace : trace = fso.OpenTextFile(traceFile).ReadAll
For Each s In Array("vesk-pass", "wrong-pass", Mid(token, 40), "AHZlc2sAdmVzay1wYXNz", "AHZlc2sAd3JvbmctcGFzcw", _
                    "dmVzay1wYXNz", "dXNlcj12ZXNrAWF1dGg9QmVh")
  Check InStr(trace, s) = 0, "trace shows " & s
Next
For Each s In Array(" C: AUTH PLAIN ***", " C: AUTH XOAUTH2 ***", " AUTHENTICATE XOAUTH2 ***", " C: ***", _
                    " S: 235 ", " bytes of message]", " C: AUTH LOGIN")
  Check InStr(trace, s) > 0, "trace lacks " & s
Next
Finish
