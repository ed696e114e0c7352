' Through the real servers: a message with text and two attachments goes out
' over SMTP and comes back over POP3 with the same content.
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim shell, fso, smtpPort, pop3Port, folder
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
smtpPort = CInt(shell.ExpandEnvironmentStrings("%VESK_SMTP_PORT%"))
pop3Port = CInt(shell.ExpandEnvironmentStrings("%VESK_POP3_PORT%"))
folder = fso.BuildPath(fso.GetSpecialFolder(2), "vesk-pop3-roundtrip")
If Not fso.FolderExists(folder) Then fso.CreateFolder folder

Function Pop3Session()
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = "127.0.0.1" : pop3.Port = pop3Port
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  pop3.Connect
  Set Pop3Session = pop3
End Function

' Start from an empty mailbox.
Dim cleanup, i
Set cleanup = Pop3Session()
For i = 1 To cleanup.MessageCount
  cleanup.Delete i
Next
cleanup.Disconnect

' Two attachments: text with line ends, and every byte value.
Dim binary, textFile, binaryFile, stream
textFile = fso.BuildPath(folder, "lines.txt")
binaryFile = fso.BuildPath(folder, "bytes.bin")
Set stream = fso.CreateTextFile(textFile, True)
stream.Write "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & vbCrLf & "end" & vbCrLf
stream.Close
Dim source : Set source = CreateObject("VeskTest.ByteSource")
binary = ""
For i = 0 To 255
  binary = binary & Chr(i)
Next

Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "sender@example.com"
message.To.Add.Address = "vesk@localhost"
message.Subject = "Round trip"
message.Text = "Hello." & vbCrLf & "." & vbCrLf & "A line with a lone period above." & vbCrLf
message.Attach textFile
Dim extra : Set extra = message.Attachments.Add
source.Text = binary
extra.Load source
extra.FileName = "bytes.bin"
extra.ContentType = "application/octet-stream"
extra.ContentEncoding = "base64"

Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = smtpPort
smtp.Connect
smtp.Send message
smtp.Disconnect

' Delivery lands a moment after the transaction.
Dim pop3, tries
For tries = 1 To 50
  Set pop3 = Pop3Session()
  If pop3.MessageCount > 0 Then Exit For
  pop3.Disconnect
  WScript.Sleep 100
Next
Check pop3.MessageCount = 1, "one message arrived, found " & pop3.MessageCount

Dim fetched : Set fetched = pop3.Retrieve(1)
Check fetched.Subject = "Round trip", "subject"
Check fetched.From.Address = "sender@example.com", "sender"
Check fetched.Text = "Hello." & vbLf & "." & vbLf & "A line with a lone period above." & vbLf, "text with its lone period"
Check fetched.Attachments.Count = 2, "two attachments"
Check fetched.Attachments(1).FileName = "lines.txt", "first file name"
Check fetched.Attachments(1).SimpleContent = "one" & vbCrLf & ".two starts with a period" & vbCrLf & "." & vbCrLf & "end" & vbCrLf, _
      "text attachment bytes"
Check fetched.Attachments(2).SimpleContent = message.Attachments(2).SimpleContent, "all 256 byte values"
Check pop3.GetMessageSize(1) > 0, "size"

Dim top : Set top = pop3.RetrieveTop(1)
Check top.Subject = "Round trip", "RetrieveTop keeps the header"
Check top.Attachments.Count = 0, "RetrieveTop with no lines brings no body"

pop3.Delete 1
pop3.Disconnect
Dim after : Set after = Pop3Session()
Check after.MessageCount = 0, "the mailbox is empty after the deletion"
after.Disconnect

On Error Resume Next
fso.DeleteFolder folder, True
On Error GoTo 0
If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
