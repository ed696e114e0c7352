' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Through Postfix and Dovecot: an attached .txt file typed text/plain never
' takes the place of the text, and a loaded message whose text is
' ISO-8859-1 in 8bit arrives with its bytes, sent from the Unicode mode.
Dim folder : folder = ScratchFolder("vesk-text-roundtrip")
shell.RegWrite "HKCR\.txt\Content Type", "text/plain", "REG_SZ"
Dim notes : notes = fso.BuildPath(folder, "notes.txt")
Dim stream : Set stream = fso.CreateTextFile(notes, True)
stream.Write "agenda" & vbCrLf
stream.Close
EmptyMailbox

Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_SMTP_PORT%"))
smtp.Connect

Dim message : Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "sender@example.com"
message.To.Add.Address = "vesk@localhost"
message.Subject = "text and file"
message.Attach notes
message.Text = "Hello"
message.HTMLText = "<p>Hello</p>"
smtp.Send message

' Latin-1 bytes in 8bit, loaded into a message in the Unicode mode.
Dim loadedFile : loadedFile = fso.BuildPath(folder, "latin1.eml")
Set stream = fso.CreateTextFile(loadedFile, True)
stream.Write "From: sender@example.com" & vbCrLf & "To: vesk@localhost" & vbCrLf & "Subject: latin-1" & vbCrLf & _
  "MIME-Version: 1.0" & vbCrLf & "Content-Type: text/plain; charset=iso-8859-1" & vbCrLf & _
  "Content-Transfer-Encoding: 8bit" & vbCrLf & vbCrLf & "Gr" & Chr(252) & Chr(223) & "e aus K" & Chr(246) & "ln" & vbCrLf
stream.Close
Dim latin : Set latin = CreateObject("VeskMail.MIMEMessage")
latin.Charset = "utf-8"
latin.Load loadedFile
smtp.Send latin
smtp.Disconnect

Dim pop3 : Set pop3 = MailboxWith(2)
Check pop3.MessageCount = 2, "two messages arrived, found " & pop3.MessageCount
Dim i, fetched
For i = 1 To pop3.MessageCount
  Set fetched = pop3.Retrieve(i)
  If fetched.Subject = "text and file" Then
    Check fetched.Text = "Hello" & vbLf, "Text after the server: " & fetched.Text
    Check Left(fetched.HTMLText, 12) = "<p>Hello</p>", "HTMLText after the server: " & fetched.HTMLText
    Check fetched.Attachments.Count = 1, "one attachment"
    Check fetched.Attachments(1).SimpleContent = "agenda" & vbCrLf, "notes.txt keeps its content"
  Else
    Check fetched.Text = "Gr" & Chr(252) & Chr(223) & "e aus K" & Chr(246) & "ln" & vbLf, "Latin-1 text: " & fetched.Text
    Check InStr(fetched.RawMessage, "charset=iso-8859-1") > 0, "still labelled iso-8859-1"
  End If
Next
pop3.Disconnect
EmptyMailbox

On Error Resume Next
fso.DeleteFolder folder, True
shell.RegWrite "HKCR\.txt\Content Type", "", "REG_SZ"
On Error GoTo 0
Finish
