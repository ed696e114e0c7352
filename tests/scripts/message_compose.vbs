' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Composing a message the way a web form handler would: addresses, subject,
' date, text and two attachments; saved, loaded into a new object, compared.
Dim folder : folder = ScratchFolder("vesk-compose")
shell.RegWrite "HKCR\.pdf\Content Type", "application/pdf", "REG_SZ"  ' Wine has no content-type keys
WriteFile fso.BuildPath(folder, "report.pdf"), "%PDF-1.4 pretend"
WriteFile fso.BuildPath(folder, "notes.txt"), "first" & vbCrLf & "second" & vbCrLf

Dim message, loaded, again, carol, saved
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Name = "Alice Example" : message.From.Address = "alice@example.com"
message.To.Add.Address = "bob@example.com"
Set carol = message.To.Add
carol.Name = "Carol" : carol.Address = "carol@example.org"
message.Cc.Add.Address = "dave@example.net" : message.Bcc.Add.Address = "eve@example.com"
message.Subject = "Quarterly report"
message.Date = DateSerial(2026, 3, 7) + TimeSerial(14, 30, 0)
message.Text = "Hello Bob," & vbCrLf & "the report is attached." & vbCrLf
message.Attach fso.BuildPath(folder, "report.pdf")
message.Attach fso.BuildPath(folder, "notes.txt")
Check message.Attachments.Count = 2, "two attachments"
saved = fso.BuildPath(folder, "quarterly.eml")
message.Save saved
Check InStr(message.RawMessage, "Subject: Quarterly report") > 0, "RawMessage holds the subject"

' Saving what was loaded and loading it again changes nothing more.
Set loaded = CreateObject("VeskMail.MIMEMessage")
loaded.Load saved
loaded.Save fso.BuildPath(folder, "again.eml")
Set again = CreateObject("VeskMail.MIMEMessage")
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
' Whole seconds survive the round trip.
Check Abs(CDbl(loaded.Date) - CDbl(DateSerial(2026, 3, 7) + TimeSerial(14, 30, 0))) < 1 / 86400, "Date round trip"
Check loaded.Text = "Hello Bob," & vbLf & "the report is attached." & vbLf, "text with LF line ends"

Dim recipient, attachment, names, seen, walked
For Each recipient In loaded.To
  names = names & recipient.Address & ";"
Next
Check names = "bob@example.com;carol@example.org;", "For Each over To: " & names
For Each attachment In loaded.Attachments
  seen = seen & attachment.FileName & "=" & attachment.ContentType & "/" & attachment.ContentEncoding & ";"
Next
' A type the system does not register comes from the built-in table (.txt under Wine).
Check seen = "report.pdf=application/pdf/base64;notes.txt=text/plain/base64;", "attachments: " & seen
Check loaded.Attachments(1).SimpleContent = "%PDF-1.4 pretend", "attachment bytes"
Check loaded.Attachments(2).SimpleContent = "first" & vbCrLf & "second" & vbCrLf, "CR LF kept inside base64"

' A message without attachments walks as an empty collection.
Dim plain : Set plain = CreateObject("VeskMail.MIMEMessage")
plain.Text = "no files here"
walked = 0
For Each attachment In plain.Attachments
  walked = walked + 1
Next
Check walked = 0 And plain.Attachments.Count = 0, "For Each over the attachments of a plain message"

On Error Resume Next  ' clean-up failures do not matter to the outcome
fso.DeleteFolder folder, True
shell.RegDelete "HKCR\.pdf\"
On Error GoTo 0
Finish
