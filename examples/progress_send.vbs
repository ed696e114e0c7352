' progress_send.vbs - sends a file as an attachment and shows how far the
' send has come, through the SMTP object's Progress event; Ctrl+C or a
' limit in seconds stops it cleanly (the server then delivers nothing).
'   cscript progress_send.vbs /host:smtp.example.com /port:587 /user:me@example.com /password:secret
'                             /to:someone@example.com /file:C:\reports\large.pdf [/limit:60]
Option Explicit

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

Dim started, limit
started = Timer
limit = CLng(Setting("limit", "0"))

' Called by the SMTP object while it sends: Operation 1 is a send; BytesTotal
' is the size of the whole transfer, and the last call has BytesDone =
' BytesTotal. Setting Cancel stops the send before the message is complete.
Sub smtp_Progress(Operation, BytesDone, BytesTotal, Cancel)
  If BytesTotal > 0 Then WScript.Echo "Sent " & Int(BytesDone * 100 / BytesTotal) & "% (" & BytesDone & " of " & BytesTotal & " bytes)"
  If limit > 0 And Timer - started > limit Then Cancel = True
End Sub

Dim smtp, message
' The second argument connects the object's events to the Subs named smtp_...
Set smtp = WScript.CreateObject("VeskMail.SMTP", "smtp_")
smtp.Host = Setting("host", "")
smtp.Port = CInt(Setting("port", "587"))
smtp.Security = 1
smtp.User = Setting("user", "")
smtp.Password = Setting("password", "")

Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = Setting("from", Setting("user", ""))
message.To.Add.Address = Setting("to", "")
message.Subject = "Report"
message.Text = "The report is attached." & vbCrLf
If Setting("file", "") <> "" Then message.Attach Setting("file", "")

smtp.Connect
On Error Resume Next
smtp.Send message
If Err.Number <> 0 Then
  WScript.Echo "Not sent: " & Err.Description
Else
  WScript.Echo "Sent."
End If
On Error GoTo 0
smtp.Disconnect
WScript.Echo "Done."
