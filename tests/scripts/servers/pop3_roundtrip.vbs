' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Through the real servers: a message with text and two attachments goes out
' over SMTP and comes back over POP3 with the same content. Its only
' recipients are blind copies, which are no line of the text sent.
Dim folder, textFile, binary, i, stream, source, message, extra, smtp, pop3, fetched, top
folder = ScratchFolder("vesk-pop3-roundtrip")
EmptyMailbox
textFile = fso.BuildPath(folder, "lines.txt")
Set stream = fso.CreateTextFile(textFile, True)
stream.Write "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & vbCrLf & "end" & vbCrLf
stream.Close
For i = 0 To 255
  binary = binary & Chr(i)
Next
Set source = CreateObject("VeskTest.ByteSource")
source.Text = binary

Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "sender@example.com"
message.From.Name = "M" & Chr(252) & "ller, J" & Chr(246) & "rg"
message.Bcc.Add.Address = "vesk@localhost"
message.Bcc.Add.Address = "vesk-check@localhost"  ' a copy as delivered, for a strict parser
Set extra = message.Cc  ' only read: the message must not write an empty Cc field
message.Subject = "Round trip " & Chr(252) & "ber K" & Chr(246) & "ln"
message.Text = "Hello." & vbCrLf & "." & vbCrLf & "..two periods" & vbCrLf & "A lone period above." & vbCrLf
message.Attach textFile
Set extra = message.Attachments.Add
extra.Load source
extra.FileName = "b" & Chr(252) & "tes.bin"
extra.ContentType = "application/octet-stream"
extra.ContentEncoding = "base64"

Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_SMTP_PORT%"))
smtp.Connect
smtp.Send message
smtp.Disconnect

Set pop3 = MailboxWith(1)
Check pop3.MessageCount = 1, "one message arrived, found " & pop3.MessageCount
Set fetched = pop3.Retrieve(1)
Check fetched.Subject = message.Subject And fetched.From.Address = "sender@example.com" And _
      fetched.From.Name = message.From.Name, "subject and sender: " & fetched.Subject & " / " & fetched.From.Name
Check InStr(fetched.RawMessage, "Bcc") = 0 And InStr(fetched.RawMessage, "Cc: " & vbCrLf) = 0, _
      "no Bcc and no empty Cc in what was sent: " & Left(fetched.RawMessage, 300)
Check InStr(message.RawMessage, "Bcc: vesk@localhost") > 0, "the sender's copy keeps its Bcc"
' Send gave the message itself the Date and Message-ID it sent.
Check message.MessageID <> "" And fetched.MessageID = message.MessageID, "Message-ID: " & fetched.MessageID
Check message.HeaderFields.Item("Date") <> "" And fetched.HeaderFields.Item("Date") = message.HeaderFields.Item("Date"), _
      "Date: " & fetched.HeaderFields.Item("Date")
Check fetched.Text = "Hello." & vbLf & "." & vbLf & "..two periods" & vbLf & "A lone period above." & vbLf, _
      "text with its lone period: " & fetched.Text
Check fetched.Attachments.Count = 2, "two attachments"
Check fetched.Attachments(1).FileName = "lines.txt", "first file name"
Check fetched.Attachments(1).SimpleContent = "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & vbCrLf & _
      "end" & vbCrLf, "text attachment bytes"
Check fetched.Attachments(2).SimpleContent = message.Attachments(2).SimpleContent, "all 256 byte values"
Check fetched.Attachments(2).FileName = message.Attachments(2).FileName, "file name " & fetched.Attachments(2).FileName
Check pop3.GetMessageSize(1) > Len(message.RawMessage), "size with the server's trace fields"
Set top = pop3.RetrieveTop(1)
Check top.Subject = message.Subject And top.Attachments.Count = 0, "RetrieveTop with no lines brings the header only"
pop3.Delete 1
pop3.Reset
pop3.Delete 1
On Error Resume Next
pop3.Retrieve 1
Check Err.Description = "Error occured during RETR", "a deleted message cannot be retrieved: " & Err.Description
Err.Clear
On Error GoTo 0
pop3.Disconnect
Check Pop3Session().MessageCount = 0, "the mailbox is empty after the deletion"
fso.DeleteFolder folder, True
Finish
