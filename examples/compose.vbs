' compose.vbs - build a message with text and an attachment, save it as an
' .eml file, load it back and print its structure and headers.
'   cscript compose.vbs [folder]      (default: the temporary folder)
Option Explicit

Dim fso, folder, attachmentPath, emlPath
Set fso = CreateObject("Scripting.FileSystemObject")
If WScript.Arguments.Count > 0 Then
  folder = WScript.Arguments(0)
Else
  folder = fso.GetSpecialFolder(2)
End If

' A small file to attach.
attachmentPath = fso.BuildPath(folder, "agenda.txt")
With fso.CreateTextFile(attachmentPath, True)
  .WriteLine "1. Budget"
  .WriteLine "2. Hiring"
  .Close
End With

' Compose.
Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Name = "Alice Example"
message.From.Address = "alice@example.com"
message.To.Add.Address = "bob@example.com"
With message.Cc.Add
  .Name = "Carol"
  .Address = "carol@example.org"
End With
message.Subject = "Meeting on Monday"
message.Date = Now
message.Text = "Hello Bob," & vbCrLf & vbCrLf & "the agenda is attached." & vbCrLf
message.Attach attachmentPath

emlPath = fso.BuildPath(folder, "meeting.eml")
message.Save emlPath
WScript.Echo "Saved " & emlPath

' Load it back into a new object and show what it holds.
Dim loaded
Set loaded = CreateObject("VeskMail.MIMEMessage")
loaded.Load emlPath

WScript.Echo "Headers:"
Dim names, values, i
names = loaded.HeaderFields.FieldsNames
values = loaded.HeaderFields.FieldsValues
For i = 0 To UBound(names)
  WScript.Echo "  " & names(i) & ": " & values(i)
Next

WScript.Echo "Recipients:"
Dim recipient
For Each recipient In loaded.To
  WScript.Echo "  To: " & recipient.Address
Next
For Each recipient In loaded.Cc
  WScript.Echo "  Cc: " & recipient.Name & " <" & recipient.Address & ">"
Next

WScript.Echo "Structure:"
Sub ShowBody(body, indent)
  Dim child
  If Left(LCase(body.ContentType), 10) = "multipart/" Then
    WScript.Echo indent & body.ContentType & " with " & body.MimeBodies.Count & " parts"
    For Each child In body.MimeBodies
      ShowBody child, indent & "  "
    Next
  Else
    Dim label : label = body.ContentType
    If body.FileName <> "" Then label = label & ", file " & body.FileName
    WScript.Echo indent & label & ", " & Len(body.SimpleContent) & " bytes"
  End If
End Sub
ShowBody loaded.MimeBody, "  "

WScript.Echo "Text:"
WScript.Echo "  " & Replace(loaded.Text, vbLf, vbLf & "  ")
WScript.Echo "Done."
