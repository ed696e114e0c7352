' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Through the real servers, sent in one SMTP session and fetched over POP3:
' - a message with text and two attachments comes back with the same
'   content; its only recipients are blind copies;
' - text from a web form cannot add commands to the SMTP dialogue: a
'   recipient or sender holding a line break is refused before anything is
'   sent, the session stays usable, and a hostile display name stays one
'   recipient.
Dim folder, i, source, message, extra, form, smtp, pop3, fetched, top
Const kHostileName = "a"", <x@evil.example>, ""b"
folder = ScratchFolder("vesk-pop3-roundtrip")
EmptyMailbox
WriteFile fso.BuildPath(folder, "lines.txt"), _
  "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & vbCrLf & "end" & vbCrLf
Set source = CreateObject("VeskTest.ByteSource")
source.Text = AllBytes()

Set message = NewMessage("", "Round trip " & Chr(252) & "ber K" & Chr(246) & "ln", _
  "Hello." & vbCrLf & "." & vbCrLf & "..two periods" & vbCrLf & "A lone period above." & vbCrLf)
message.From.Name = "M" & Chr(252) & "ller, J" & Chr(246) & "rg"
message.Bcc.Add.Address = "vesk@localhost"
message.Bcc.Add.Address = "vesk-check@localhost"  ' a copy as delivered, for a strict parser
Set extra = message.Cc  ' only read: the message must not write an empty Cc field
message.Attach fso.BuildPath(folder, "lines.txt")
Set extra = message.Attachments.Add
extra.Load source
extra.FileName = "b" & Chr(252) & "tes.bin"
extra.ContentType = "application/octet-stream"
extra.ContentEncoding = "base64"

Set smtp = Connected("SMTP", "127.0.0.1", "VESK_SMTP_PORT")
Set form = NewMessage("", "from the form", "hello" & vbCrLf)
form.From.Address = "form@example.com"
On Error Resume Next
smtp.Send form, "vesk@localhost>" & vbCrLf & "RCPT TO:<victim@example.com"
Check Err.Number = &H80004005 And Err.Description = "Invalid response on RCPT TO: command.", _
      "hostile recipient refused: " & Err.Description
Err.Clear
smtp.Send form, "vesk@localhost", "form@example.com>" & vbLf & "DATA"
Check Err.Number = &H80004005 And Err.Description = "Invalid response on MAIL From: command.", _
      "hostile sender refused: " & Err.Description
Err.Clear
smtp.Send CreateObject("VeskMail.POP3"), "vesk@localhost"
Check Err.Description = "Invalid mail message object.", "only a message can be sent: " & Err.Description
Err.Clear
form.To.Add.Address = "vesk@localhost"
form.To(1).Name = kHostileName
smtp.Send form
Check Err.Number = 0, "the session is still usable: " & Err.Description
Err.Clear
On Error GoTo 0
smtp.Send message
smtp.Disconnect

Set pop3 = MailboxWith(2)
Check pop3.MessageCount = 2, "two messages arrived, found " & pop3.MessageCount
For i = 1 To pop3.MessageCount
  Set fetched = pop3.Retrieve(i)
  Select Case fetched.Subject
    Case "from the form"  ' one To address, the display name whole
      Check fetched.To.Count = 1, "one To address, found " & fetched.To.Count
      Check fetched.To(1).Name = kHostileName, "the display name survives: " & fetched.To(1).Name
    Case message.Subject
      Check fetched.From.Address = "sender@example.com" And fetched.From.Name = message.From.Name, _
            "sender: " & fetched.From.Name
      ' (Postfix drops a Bcc field itself: the automation suite's recording
      ' server sees that none is sent.)
      Check InStr(fetched.RawMessage, "Cc: " & vbCrLf) = 0, "no empty Cc in what was sent: " & Left(fetched.RawMessage, 300)
      Check InStr(message.RawMessage, "Bcc: vesk@localhost") > 0, "the sender's copy keeps its Bcc"
      ' Send gave the message itself the Date and Message-ID it sent.
      Check message.MessageID <> "" And fetched.MessageID = message.MessageID, "Message-ID: " & fetched.MessageID
      Check message.HeaderFields.Item("Date") <> "" And _
            fetched.HeaderFields.Item("Date") = message.HeaderFields.Item("Date"), _
            "Date: " & fetched.HeaderFields.Item("Date")
      Check fetched.Text = "Hello." & vbLf & "." & vbLf & "..two periods" & vbLf & "A lone period above." & vbLf, _
            "text with its lone period: " & fetched.Text
      Check fetched.Attachments.Count = 2, "two attachments"
      Check fetched.Attachments(1).FileName = "lines.txt", "first file name"
      Check fetched.Attachments(1).SimpleContent = "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & _
            vbCrLf & "end" & vbCrLf, "text attachment bytes"
      Check fetched.Attachments(2).SimpleContent = message.Attachments(2).SimpleContent, "all 256 byte values"
      Check fetched.Attachments(2).FileName = message.Attachments(2).FileName, _
            "file name " & fetched.Attachments(2).FileName
      Check pop3.GetMessageSize(i) > Len(message.RawMessage), "size with the server's trace fields"
      Set top = pop3.RetrieveTop(i)
      Check top.Subject = message.Subject And top.Attachments.Count = 0, "RetrieveTop with no lines brings the header only"
    Case Else
      Check False, "a message nobody sent: " & fetched.Subject
  End Select
Next
pop3.Delete 1
pop3.Reset
For i = 1 To pop3.MessageCount
  pop3.Delete i
Next
On Error Resume Next
pop3.Retrieve 1
Check Err.Description = "Error occured during RETR", "a deleted message cannot be retrieved: " & Err.Description
Err.Clear
On Error GoTo 0
pop3.Disconnect
Check Pop3Session().MessageCount = 0, "the mailbox is empty after the deletion"

fso.DeleteFolder folder, True
Finish
