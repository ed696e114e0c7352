' Saves messages composed with the component into a folder, for an
' independent parser to read back (check_messages.py knows what each holds).
'   cscript make_messages.vbs <folder>
Option Explicit
Dim fso, folder
Set fso = CreateObject("Scripting.FileSystemObject")
folder = WScript.Arguments(0)

Dim plain : Set plain = CreateObject("VeskMail.MIMEMessage")
plain.From.Address = "a@example.com"
plain.To.Add.Address = "b@example.com"
plain.Subject = "plain"
plain.MimeBody.ContentType = "text/plain"
plain.MimeBody.Charset = "us-ascii"
plain.Text = "first line" & vbCrLf & ". a period line" & vbCrLf & "last" & vbCrLf
plain.Save fso.BuildPath(folder, "plain.eml")

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
mixed.Save fso.BuildPath(folder, "mixed.eml")

WScript.Echo "SCRIPT PASSED"
