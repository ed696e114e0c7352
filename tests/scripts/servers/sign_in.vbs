' tests/scripts/prelude.vbs
' Through the real servers over encrypted connections: mail goes out over
' SMTP with STARTTLS and with implicit TLS, and through submission (password
' with STARTTLS; AUTH LOGIN and an OAuth 2 token with implicit TLS); it comes
' back over POP3 and IMAP4 with STARTTLS and with implicit TLS, signed in with
' a password, SASL PLAIN and XOAUTH2. A wrong password shows the server's
' reason beside a clear error. A certificate that does not name the host is
' refused unless VerifyCertificate is False. (Plain log-ins refused until
' STARTTLS and a wrong token are the engine suite's real-server cases, and
' what a trace shows of a sign-in its SASL cases.)
Dim token : token = Env("VESK_ACCESS_TOKEN")

' A protocol object with a Security value, signing in with the method and a
' password or a token (an SMTP object given neither does not sign in).
Function Session(kind, host, portName, security, method, password, accessToken)
  Dim o : Set o = Client(kind, host, portName)
  o.Security = security : o.AuthMethod = method
  o.Password = password : o.AccessToken = accessToken
  If kind = "SMTP" And password & accessToken <> "" Then o.User = "vesk"
  Set Session = o
End Function

' Connects a row's session; checks TLS and, where it signed in, the reply.
Function SignedIn(kind, row, reply)
  Dim o : Set o = Session(kind, row(0), row(1), row(2), row(3), row(4), row(5))
  o.Connect
  Check Left(o.TlsProtocol, 4) = "TLS ", kind & " on " & row(1) & ": TlsProtocol " & o.TlsProtocol
  Check InStr(o.LastServerReply, reply) > 0, kind & " signed in on " & row(1) & ": " & o.LastServerReply
  Set SignedIn = o
End Function

' Connect must fail with the clear text, the server's reason kept beside it.
Sub CheckRefused(o, reply)
  On Error Resume Next
  o.Connect
  Check Err.Description = "Authentication failed", TypeName(o) & " refused: " & Err.Description
  Check InStr(o.LastServerReply, reply) > 0, TypeName(o) & " LastServerReply: " & o.LastServerReply
  On Error GoTo 0
End Sub

' Defaults keep the plain dialogue.
Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
Check smtp.Security = 0 And smtp.VerifyCertificate And smtp.TlsProtocol = "", "defaults"
EmptyMailbox

' Host, port, Security, AuthMethod, password, token.
Dim s, i, sends, fetches, o, fetched
sends = Array(Array("localhost", "VESK_SMTP_PORT", 1, 0, "", ""), _
  Array("127.0.0.1", "VESK_SMTPS_PORT", 2, 0, "", ""), _
  Array("localhost", "VESK_SUBMISSION_PORT", 1, 0, "vesk-pass", ""), _
  Array("localhost", "VESK_SUBMISSIONS_PORT", 2, 2, "vesk-pass", ""), _
  Array("localhost", "VESK_SUBMISSIONS_PORT", 2, 0, "", token))
For i = 0 To UBound(sends)
  s = sends(i)
  Set smtp = SignedIn("SMTP", s, "")
  If s(4) & s(5) <> "" Then Check Left(smtp.LastServerReply, 4) = "235 ", "signed in on " & s(1)
  smtp.Send NewMessage("vesk@localhost", "message " & i, "Sent " & i & "." & vbCrLf & "." & vbCrLf & "end" & vbCrLf)
  Check Left(smtp.LastServerReply, 4) = "250 ", "queued: " & smtp.LastServerReply
  smtp.Disconnect
Next
CheckRefused Session("SMTP", "localhost", "VESK_SUBMISSION_PORT", 1, 0, "wrong-pass", ""), "535 5.7.8"
MailboxWith(5).Disconnect

' Each fetch takes the message of its row's number, as sent (Postfix keeps the order).
fetches = Array(Array("localhost", "VESK_POP3_PORT", 1, 0, "vesk-pass", ""), _
  Array("localhost", "VESK_POP3S_PORT", 2, 1, "vesk-pass", ""), Array("127.0.0.1", "VESK_POP3_PORT", 1, 0, "", token), _
  Array("localhost", "VESK_IMAP_PORT", 1, 1, "vesk-pass", ""), Array("127.0.0.1", "VESK_IMAPS_PORT", 2, 0, "", token))
For i = 0 To UBound(fetches)
  If i < 3 Then
    Set o = SignedIn("POP3", fetches(i), "+OK")
    Check o.MessageCount = 5, "five messages delivered (" & o.MessageCount & ")"
  Else
    Set o = SignedIn("IMAP4", fetches(i), " OK ")
    o.MailboxName = "INBOX"
    o.SelectMailbox True
  End If
  Set fetched = o.Retrieve(i + 1)
  Check fetched.Subject = "message " & i, TypeName(o) & " on " & fetches(i)(1) & ": subject " & fetched.Subject
  Check InStr(Replace(fetched.Text, vbCr, ""), vbLf & "." & vbLf & "end") > 0, _
        TypeName(o) & " on " & fetches(i)(1) & ": " & fetched.Text
  o.Disconnect
Next
CheckRefused Session("POP3", "localhost", "VESK_POP3S_PORT", 2, 1, "wrong-pass", ""), "-ERR [AUTH]"
CheckRefused Session("IMAP4", "localhost", "VESK_IMAPS_PORT", 2, 1, "wrong-pass", ""), "NO [AUTHENTICATIONFAILED]"

' 127.0.0.3 reaches Dovecot, but its certificate names 127.0.0.1, not that.
Set o = Session("POP3", "127.0.0.3", "VESK_POP3S_PORT", 2, 0, "vesk-pass", "")
On Error Resume Next
o.Connect
Check InStr(Err.Description, "Server certificate is for") = 1 And InStr(Err.Description, "127.0.0.3") > 0, _
  "wrong name refused: " & Err.Description
Err.Clear
o.Security = 7
Check Err.Number <> 0, "Security 7 refused"
On Error GoTo 0
Set o = Session("POP3", "127.0.0.3", "VESK_POP3S_PORT", 2, 0, "vesk-pass", "")
o.VerifyCertificate = False
o.Connect
Check o.MessageCount = 5, "accepted without verification"
o.Disconnect
Finish
