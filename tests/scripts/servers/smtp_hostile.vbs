' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Text from a web form cannot add commands to the SMTP dialogue: a recipient
' or sender holding a line break is refused before anything is sent, the
' session stays usable, and a hostile display name stays one recipient.
Dim smtp, message, pop3, fetched
EmptyMailbox
Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_SMTP_PORT%"))
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
smtp.Send CreateObject("VeskMail.POP3"), "vesk@localhost"
Check Err.Description = "Invalid mail message object.", "only a message can be sent: " & Err.Description
Err.Clear
message.To.Add.Address = "vesk@localhost"
message.To(1).Name = "a"", <x@evil.example>, ""b"
smtp.Send message
Check Err.Number = 0, "the session is still usable: " & Err.Description
Err.Clear
On Error GoTo 0
smtp.Disconnect

' The one message that went out arrives with one To address.
Set pop3 = MailboxWith(1)
Check pop3.MessageCount = 1, "exactly one message arrived, found " & pop3.MessageCount
Set fetched = pop3.Retrieve(1)
Check fetched.To.Count = 1, "one To address, found " & fetched.To.Count
Check fetched.To(1).Name = "a"", <x@evil.example>, ""b", "the display name survives: " & fetched.To(1).Name
pop3.Disconnect
EmptyMailbox
Finish
