' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' The text of a message is never an attached file: in every order of Attach
' (a .txt file typed text/plain), AddRelated, Text and HTMLText, Text and
' HTMLText read back what was put, the file keeps its bytes, and all of that
' holds again once the message has been rendered and read back.
Dim folder : folder = ScratchFolder("vesk-main-text")
shell.RegWrite "HKCR\.txt\Content Type", "text/plain", "REG_SZ"
Dim notes : notes = fso.BuildPath(folder, "notes.txt")
Dim picture : picture = fso.BuildPath(folder, "logo.png")
WriteFile notes, "agenda" & vbCrLf & "1. budget" & vbCrLf
WriteFile picture, "PNG pretend"

Const kText = "Hello Bob,"
Const kHtml = "<p>Hello <b>Bob</b></p>"

Sub DoStep(message, which)
  Select Case which
    Case 0 : message.Attach notes
    Case 1 : message.AddRelated picture
    Case 2 : message.Text = kText
    Case 3 : message.HTMLText = kHtml
  End Select
End Sub

Function AttachedNotes(message)
  Dim attachment
  AttachedNotes = ""
  For Each attachment In message.Attachments
    If attachment.FileName = "notes.txt" Then AttachedNotes = attachment.SimpleContent
  Next
End Function

Sub CheckMessage(message, order, when)
  Dim text : text = message.Text
  ' A text read back after rendering ends with the line end the wire gave it.
  Check text = kText Or text = kText & vbLf, order & " " & when & ": Text is " & text
  Check Left(message.HTMLText, Len(kHtml)) = kHtml, order & " " & when & ": HTMLText is " & message.HTMLText
  Check message.Attachments.Count = 1, order & " " & when & ": attachments " & message.Attachments.Count
  Check AttachedNotes(message) = "agenda" & vbCrLf & "1. budget" & vbCrLf, order & " " & when & ": notes.txt holds " & _
    AttachedNotes(message)
End Sub

Dim a, b, c, d, message, copy, order
For a = 0 To 3 : For b = 0 To 3 : For c = 0 To 3 : For d = 0 To 3
  If a <> b And a <> c And a <> d And b <> c And b <> d And c <> d Then
    order = a & b & c & d
    Set message = CreateObject("VeskMail.MIMEMessage")
    DoStep message, a : DoStep message, b : DoStep message, c : DoStep message, d
    CheckMessage message, order, "as built"
    Set copy = CreateObject("VeskMail.MIMEMessage")
    copy.RawMessage = message.RawMessage
    CheckMessage copy, order, "read back"
  End If
Next : Next : Next : Next

' Text put into a read-back message replaces the text, not the file.
copy.Text = "Changed"
Check copy.Text = "Changed" And AttachedNotes(copy) = "agenda" & vbCrLf & "1. budget" & vbCrLf, "Text put after reading"

On Error Resume Next
fso.DeleteFolder folder, True
' Wine's RegDelete is missing (error 445): an empty type counts as none.
shell.RegWrite "HKCR\.txt\Content Type", "", "REG_SZ"
On Error GoTo 0
Finish
