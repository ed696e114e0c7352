' Saves messages composed with the component into a folder, with a manifest
' of what each holds, for an independent parser to read back.
'   cscript make_messages.vbs <folder>
Option Explicit
Dim fso, folder, manifest
Set fso = CreateObject("Scripting.FileSystemObject")
folder = WScript.Arguments(0)
Set manifest = fso.CreateTextFile(fso.BuildPath(folder, "manifest.txt"), True)

' One manifest line per part with content: file|index|content type|file name|content as hex.
Function Hex2(text)
  Dim i, out
  For i = 1 To Len(text)
    out = out & Right("0" & Hex(Asc(Mid(text, i, 1))), 2)
  Next
  Hex2 = out
End Function

Sub Record(fileName, message)
  Dim index, body
  message.Save fso.BuildPath(folder, fileName)
  index = 0
  If message.Attachments.Count = 0 And message.MimeBody.ContentType <> "multipart/mixed" Then
    manifest.WriteLine fileName & "|0|" & message.MimeBody.ContentType & "||" & Hex2(message.MimeBody.SimpleContent)
    Exit Sub
  End If
  For Each body In message.MimeBody.MimeBodies
    manifest.WriteLine fileName & "|" & index & "|" & body.ContentType & "|" & body.FileName & "|" & Hex2(body.SimpleContent)
    index = index + 1
  Next
End Sub

Dim plain : Set plain = CreateObject("VeskMail.MIMEMessage")
plain.From.Address = "a@example.com"
plain.To.Add.Address = "b@example.com"
plain.Subject = "plain"
plain.MimeBody.ContentType = "text/plain"
plain.MimeBody.Charset = "us-ascii"
plain.Text = "first line" & vbCrLf & ". a period line" & vbCrLf & "last" & vbCrLf
Record "plain.eml", plain

Dim mixed : Set mixed = CreateObject("VeskMail.MIMEMessage")
mixed.Subject = "mixed"
mixed.Text = "see the files" & vbCrLf
Dim csv : Set csv = mixed.Attachments.Add
csv.Load "a,b" & vbCrLf & "1,2" & vbCrLf
csv.ContentType = "text/csv"
csv.FileName = "table.csv"
csv.ContentEncoding = "quoted-printable"
Dim bin : Set bin = mixed.Attachments.Add
Dim bytes, i
For i = 0 To 255
  bytes = bytes & Chr(i)
Next
bin.Load bytes
bin.ContentType = "application/octet-stream"
bin.FileName = "odd ""name"".bin"
bin.ContentEncoding = "base64"
Record "mixed.eml", mixed

' Header text outside ASCII (code page 1252 characters) in the Subject.
Dim international : Set international = CreateObject("VeskMail.MIMEMessage")
international.Subject = "Gr" & Chr(252) & Chr(223) & "e aus K" & Chr(246) & "ln, " & Chr(128) & " 5"
international.From.Address = "j@example.com"
international.To.Add.Address = "b@example.com"
international.Text = "hello" & vbCrLf
Record "international.eml", international
manifest.Close
WScript.Echo "SCRIPT PASSED"
