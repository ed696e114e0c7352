' Composing a message the way a web form handler would: addresses, subject,
' date, text and two attachments; saved, loaded into a new object, compared.
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim fso, shell, folder
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
folder = fso.BuildPath(fso.GetSpecialFolder(2), "vesk-compose")
If Not fso.FolderExists(folder) Then fso.CreateFolder folder
' Content types by extension come from the registry.
shell.RegWrite "HKCR\.pdf\Content Type", "application/pdf", "REG_SZ"

Sub WriteFile(path, text)
  Dim f : Set f = fso.CreateTextFile(path, True)
  f.Write text
  f.Close
End Sub
WriteFile fso.BuildPath(folder, "report.pdf"), "%PDF-1.4 pretend"
WriteFile fso.BuildPath(folder, "notes.txt"), "first" & vbCrLf & "second" & vbCrLf

Dim message, saved, loaded
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Name = "Alice Example"
message.From.Address = "alice@example.com"
message.To.Add.Address = "bob@example.com"
Dim carol : Set carol = message.To.Add
carol.Name = "Carol" : carol.Address = "carol@example.org"
message.Cc.Add.Address = "dave@example.net"
message.Bcc.Add.Address = "eve@example.com"
message.Subject = "Quarterly report"
message.Date = DateSerial(2026, 3, 7) + TimeSerial(14, 30, 0)
message.Text = "Hello Bob," & vbCrLf & "the report is attached." & vbCrLf
message.Attach fso.BuildPath(folder, "report.pdf")
message.Attach fso.BuildPath(folder, "notes.txt")
Check message.Attachments.Count = 2, "two attachments"

saved = fso.BuildPath(folder, "quarterly.eml")
message.Save saved
Check fso.FileExists(saved), "Save writes the file"
Check InStr(message.RawMessage, "Subject: Quarterly report") > 0, "RawMessage holds the subject"

Set loaded = CreateObject("VeskMail.MIMEMessage")
loaded.Load saved
' Saving what was loaded and loading it again changes nothing more.
Dim again : Set again = CreateObject("VeskMail.MIMEMessage")
loaded.Save fso.BuildPath(folder, "again.eml")
again.Load fso.BuildPath(folder, "again.eml")
Check again.RawMessage = loaded.RawMessage, "a loaded message saves and loads back unchanged"
Check loaded.Subject = "Quarterly report", "subject survives"
Check loaded.From.Name = "Alice Example" And loaded.From.Address = "alice@example.com", "From survives"
Check loaded.To.Count = 2 And loaded.Cc.Count = 1 And loaded.Bcc.Count = 1, "recipient counts"
Check loaded.To(2).Name = "Carol" And loaded.To(2).Address = "carol@example.org", "second To"
Check TypeName(loaded.Date) = "Date", "Date reads back as a date"
Dim written : written = loaded.HeaderFields.Item("Date")
Check Left(written, 26) = "Sat, 07 Mar 2026 14:30:00 " And InStr("+-", Mid(written, 27, 1)) > 0 And Len(written) = 31, _
  "Date written as an RFC 5322 date with the local offset: " & written
' The same instant written in two zones reads as the same local date.
Dim east : Set east = CreateObject("VeskMail.MIMEMessage")
Dim west : Set west = CreateObject("VeskMail.MIMEMessage")
east.Date = "Sun, 06 Dec 2026 13:46:05 +0100"
west.Date = "Sun, 6 Dec 2026 07:46:05 EST (obsolete zone name)"
Check TypeName(east.Date) = "Date" And east.Date = west.Date, "one instant in two zones: " & east.Date & " / " & west.Date
' The locale's text form keeps whole seconds.
Check Abs(CDbl(loaded.Date) - CDbl(DateSerial(2026, 3, 7) + TimeSerial(14, 30, 0))) < 1 / 86400, "Date round trip"
Check loaded.Text = "Hello Bob," & vbLf & "the report is attached." & vbLf, "text with LF line ends"

Dim names : names = ""
Dim recipient
For Each recipient In loaded.To
  names = names & recipient.Address & ";"
Next
Check names = "bob@example.com;carol@example.org;", "For Each over To: " & names

Dim attachment, seen : seen = ""
For Each attachment In loaded.Attachments
  seen = seen & attachment.FileName & "=" & attachment.ContentType & ";"
Next
Check seen = "report.pdf=application/pdf;notes.txt=application/octet-stream;", "For Each over Attachments: " & seen
Check loaded.Attachments(1).SimpleContent = "%PDF-1.4 pretend", "attachment bytes"
Check loaded.Attachments(2).ContentEncoding = "base64", "attachments are base64"
Check loaded.Attachments(2).SimpleContent = "first" & vbCrLf & "second" & vbCrLf, "CR LF kept inside base64"

' A message without attachments walks as an empty collection.
Dim plainMessage, walked : walked = 0
Set plainMessage = CreateObject("VeskMail.MIMEMessage")
plainMessage.Text = "no files here"
For Each attachment In plainMessage.Attachments
  walked = walked + 1
Next
Check walked = 0 And plainMessage.Attachments.Count = 0, "For Each over the attachments of a plain message"

' Saving an attachment's content writes its decoded bytes.
Dim copy : copy = fso.BuildPath(folder, "copy.pdf")
loaded.Attachments(1).Save copy
Dim stream : Set stream = fso.OpenTextFile(copy)
Check stream.ReadAll = "%PDF-1.4 pretend", "attachment saved as its bytes"
stream.Close

' Clean-up failures do not matter to the outcome.
On Error Resume Next
fso.DeleteFolder folder, True
shell.RegDelete "HKCR\.pdf\"
On Error GoTo 0
If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
