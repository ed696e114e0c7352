Attribute VB_Name = "ProgressMacro"
' progress_macro.bas - a VBA macro (Excel, Word, Outlook, Access) that sends
' a workbook and shows the progress in the status bar. Import this module,
' then add a class module named SmtpProgress with the lines between the
' markers below, and set a reference to "VeskMail" (Tools > References)
' for WithEvents. Run SendWithProgress.
'
' ----- class module SmtpProgress -----
' Public WithEvents Smtp As VeskMail.VeskSMTP
'
' Private Sub Smtp_Progress(ByVal Operation As VeskMail.TRANSFER_OPERATION, ByVal BytesDone As Long, _
'                           ByVal BytesTotal As Long, Cancel As Boolean)
'     If BytesTotal > 0 Then Application.StatusBar = "Sending: " & Format(BytesDone / BytesTotal, "0%")
'     DoEvents   ' keeps the window alive; Cancel = True stops the send
' End Sub
' ----- end of class module -----
Option Explicit

Public Sub SendWithProgress()
    Dim watcher As New SmtpProgress
    Set watcher.Smtp = New VeskMail.VeskSMTP
    With watcher.Smtp
        .Host = "smtp.example.com"
        .Port = 587
        .Security = 1
        .User = "me@example.com"
        .Password = InputBox("Password for " & .User)
    End With

    Dim message As New VeskMail.MIMEMessage
    message.From.Address = "me@example.com"
    message.To.Add.Address = "someone@example.com"
    message.Subject = "Report"
    message.Text = "The report is attached." & vbCrLf
    message.Attach ThisWorkbook.FullName

    watcher.Smtp.Connect
    watcher.Smtp.Send message
    watcher.Smtp.Disconnect
    Application.StatusBar = False
    MsgBox "Sent."
End Sub
