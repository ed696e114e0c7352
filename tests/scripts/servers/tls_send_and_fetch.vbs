' Through the real servers over encrypted connections: one message goes out
' over SMTP with STARTTLS and one with implicit TLS; both come back over POP3
' and IMAP4 with STARTTLS and with implicit TLS. A certificate that does not
' name the host is refused unless VerifyCertificate is False.
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim shell : Set shell = CreateObject("WScript.Shell")
Function Port(name)
  Port = CInt(shell.ExpandEnvironmentStrings("%" & name & "%"))
End Function

Function Pop3Session(host, portName, security)
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = host : pop3.Port = Port(portName) : pop3.Security = security
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  pop3.Connect
  Check Left(pop3.TlsProtocol, 4) = "TLS " Or security = 0, "POP3 " & portName & " TlsProtocol: " & pop3.TlsProtocol
  Set Pop3Session = pop3
End Function

' Defaults keep the plain dialogue.
Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
Check smtp.Security = 0 And smtp.VerifyCertificate And smtp.TlsProtocol = "", "defaults"

Dim cleanup, i
Set cleanup = Pop3Session("127.0.0.1", "VESK_POP3_PORT", 0)
For i = 1 To cleanup.MessageCount
  cleanup.Delete i
Next
cleanup.Disconnect

Dim sends : sends = Array(Array("localhost", "VESK_SMTP_PORT", 1), Array("127.0.0.1", "VESK_SMTPS_PORT", 2))
Dim s, message
For Each s In sends
  Set smtp = CreateObject("VeskMail.SMTP")
  smtp.Host = s(0) : smtp.Port = Port(s(1)) : smtp.Security = s(2)
  smtp.Connect
  Check Left(smtp.TlsProtocol, 4) = "TLS ", "SMTP " & s(1) & " TlsProtocol: " & smtp.TlsProtocol
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
  Dim probe : Set probe = Pop3Session("localhost", "VESK_POP3_PORT", 1)
  count = probe.MessageCount
  probe.Disconnect
Loop
Check count = 2, "two messages delivered (" & count & ")"

Dim pop3, fetched
Set pop3 = Pop3Session("127.0.0.1", "VESK_POP3S_PORT", 2)
Set fetched = pop3.Retrieve(1)
Check fetched.Subject = "over VESK_SMTP_PORT", "POP3S subject: " & fetched.Subject
Check InStr(Replace(fetched.Text, vbCr, ""), vbLf & "." & vbLf & "end") > 0, "POP3S text: " & fetched.Text
pop3.Disconnect

Dim imaps : imaps = Array(Array("localhost", "VESK_IMAP_PORT", 1), Array("127.0.0.1", "VESK_IMAPS_PORT", 2))
Dim imap
For Each s In imaps
  Set imap = CreateObject("VeskMail.IMAP4")
  imap.Host = s(0) : imap.Port = Port(s(1)) : imap.Security = s(2)
  imap.User = "vesk" : imap.Password = "vesk-pass"
  imap.Connect
  Check Left(imap.TlsProtocol, 4) = "TLS ", "IMAP " & s(1) & " TlsProtocol: " & imap.TlsProtocol
  imap.MailboxName = "INBOX"
  imap.SelectMailbox True
  Set fetched = imap.Retrieve(2)
  Check fetched.Subject = "over VESK_SMTPS_PORT", "IMAP " & s(1) & " subject: " & fetched.Subject
  imap.Disconnect
Next

' 127.0.0.3 reaches Dovecot, but its certificate names 127.0.0.1, not that.
Set pop3 = CreateObject("VeskMail.POP3")
pop3.Host = "127.0.0.3" : pop3.Port = Port("VESK_POP3S_PORT") : pop3.Security = 2
pop3.User = "vesk" : pop3.Password = "vesk-pass"
On Error Resume Next
pop3.Connect
Check InStr(Err.Description, "Server certificate is for") = 1 And InStr(Err.Description, "127.0.0.3") > 0, _
  "wrong name refused: " & Err.Description
Err.Clear
pop3.Security = 7
Check Err.Number <> 0, "Security 7 refused"
On Error GoTo 0
Set pop3 = CreateObject("VeskMail.POP3")
pop3.Host = "127.0.0.3" : pop3.Port = Port("VESK_POP3S_PORT") : pop3.Security = 2
pop3.VerifyCertificate = False
pop3.User = "vesk" : pop3.Password = "vesk-pass"
pop3.Connect
Check pop3.MessageCount = 2, "accepted without verification"
pop3.Disconnect

If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
