' hello.vbs - a first look at the VeskMail components.
' Creates the four classes, prints their properties, and shows what a script
' sees when a method fails (Err.Number, Err.Source, Err.Description).
Option Explicit

Dim pop3, smtp, imap, message
Set pop3 = CreateObject("VeskMail.POP3")
Set smtp = CreateObject("VeskMail.SMTP")
Set imap = CreateObject("VeskMail.IMAP4")
Set message = CreateObject("VeskMail.MIMEMessage")

WScript.Echo "VeskMail.SMTP:   Host=" & smtp.Host & " Port=" & smtp.Port & " TimeOut=" & smtp.TimeOut
WScript.Echo "VeskMail.POP3:   Host=" & pop3.Host & " Port=" & pop3.Port & " TimeOut=" & pop3.TimeOut & _
             " User=""" & pop3.User & """ MessageCount=" & pop3.MessageCount
WScript.Echo "VeskMail.IMAP4:  Host=" & imap.Host & " Port=" & imap.Port & " TimeOut=" & imap.TimeOut & _
             " User=" & imap.User & " MailboxName=" & imap.MailboxName
WScript.Echo "VeskMail.MIMEMessage: UseVirtualPath=" & message.UseVirtualPath & _
             " DenyPhysicalPath=" & message.DenyPhysicalPath

' Mailbox names use backslashes between levels, whatever the server uses.
imap.MailboxName = "INBOX\Projects"
WScript.Echo "IMAP4 MailboxName after setting INBOX\Projects: " & imap.MailboxName

' Nothing listens on port 1 of this machine: the failure comes back as an
' error with a description.
imap.Host = "127.0.0.1"
imap.Port = 1
On Error Resume Next
imap.Connect
If Err.Number <> 0 Then
  WScript.Echo "Connect failed: Err.Number=&H" & Hex(Err.Number) & " Err.Source=" & Err.Source
  WScript.Echo "  Err.Description=" & Err.Description
End If
On Error GoTo 0
WScript.Echo "Done."
