' tests/scripts/prelude.vbs
' Through the real servers over encrypted connections: one message goes out
' over SMTP with STARTTLS and one with implicit TLS; both come back over POP3
' and IMAP4 with STARTTLS and with implicit TLS. A certificate that does not
' name the host is refused unless VerifyCertificate is False.
' A session of kind POP3, SMTP or IMAP4 at host and port (named by its
' variable) with a Security value; connected unless connect is False.
Function TlsSession(kind, host, portName, security, connect)
  Dim o : Set o = CreateObject("VeskMail." & kind)
  o.Host = host : o.Port = CInt(shell.ExpandEnvironmentStrings("%" & portName & "%")) : o.Security = security
  If kind <> "SMTP" Then o.User = "vesk" : o.Password = "vesk-pass"
  If connect Then
    o.Connect
    Check Left(o.TlsProtocol, 4) = "TLS " Or security = 0, kind & " " & portName & " TlsProtocol: " & o.TlsProtocol
  End If
  Set TlsSession = o
End Function

' Defaults keep the plain dialogue.
Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
Check smtp.Security = 0 And smtp.VerifyCertificate And smtp.TlsProtocol = "", "defaults"
EmptyMailbox

Dim s, message
For Each s In Array(Array("localhost", "VESK_SMTP_PORT", 1), Array("127.0.0.1", "VESK_SMTPS_PORT", 2))
  Set smtp = TlsSession("SMTP", s(0), s(1), s(2), True)
  Set message = CreateObject("VeskMail.MIMEMessage")
  message.From.Address = "sender@example.com"
  message.To.Add.Address = "vesk@localhost"
  message.Subject = "over " & s(1)
  message.Text = "Sent with security " & s(2) & "." & vbCrLf & "." & vbCrLf & "end" & vbCrLf
  smtp.Send message
  smtp.Disconnect
Next

' Delivery takes a moment.
Dim started, count : started = Timer : count = 0
Do While count < 2 And Timer - started < 15
  Dim probe : Set probe = TlsSession("POP3", "localhost", "VESK_POP3_PORT", 1, True)
  count = probe.MessageCount
  probe.Disconnect
Loop
Check count = 2, "two messages delivered (" & count & ")"

Dim pop3, fetched, imap
Set pop3 = TlsSession("POP3", "127.0.0.1", "VESK_POP3S_PORT", 2, True)
Set fetched = pop3.Retrieve(1)
Check fetched.Subject = "over VESK_SMTP_PORT", "POP3S subject: " & fetched.Subject
Check InStr(Replace(fetched.Text, vbCr, ""), vbLf & "." & vbLf & "end") > 0, "POP3S text: " & fetched.Text
pop3.Disconnect

For Each s In Array(Array("localhost", "VESK_IMAP_PORT", 1), Array("127.0.0.1", "VESK_IMAPS_PORT", 2))
  Set imap = TlsSession("IMAP4", s(0), s(1), s(2), True)
  imap.MailboxName = "INBOX"
  imap.SelectMailbox True
  Set fetched = imap.Retrieve(2)
  Check fetched.Subject = "over VESK_SMTPS_PORT", "IMAP " & s(1) & " subject: " & fetched.Subject
  imap.Disconnect
Next

' 127.0.0.3 reaches Dovecot, but its certificate names 127.0.0.1, not that.
Set pop3 = TlsSession("POP3", "127.0.0.3", "VESK_POP3S_PORT", 2, False)
On Error Resume Next
pop3.Connect
Check InStr(Err.Description, "Server certificate is for") = 1 And InStr(Err.Description, "127.0.0.3") > 0, _
  "wrong name refused: " & Err.Description
Err.Clear
pop3.Security = 7
Check Err.Number <> 0, "Security 7 refused"
On Error GoTo 0
Set pop3 = TlsSession("POP3", "127.0.0.3", "VESK_POP3S_PORT", 2, False)
pop3.VerifyCertificate = False
pop3.Connect
Check pop3.MessageCount = 2, "accepted without verification"
pop3.Disconnect
Finish
