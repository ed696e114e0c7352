' imap_folders.vbs - mailboxes and messages over IMAP4: list, create, append,
' search, fetch, flag and clean up.
'   cscript imap_folders.vbs /host:127.0.0.1 /port:143 /security:starttls /user:me /password:secret
' /security: is none (the default), starttls (port 143) or tls (port 993).
Option Explicit

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = "/" & name & ":"
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

' Flag values of the type library's IMAP_MESSAGE_FLAG enumeration (scripts
' outside a page cannot see type library constants).
Const IMAP_MESSAGE_FLAG_SEEN = 1, IMAP_MESSAGE_FLAG_FLAGGED = 4, IMAP_MESSAGE_FLAG_RECENT = 32

Dim imap
Set imap = CreateObject("VeskMail.IMAP4")
imap.Host = Setting("host", "127.0.0.1")
imap.Port = CInt(Setting("port", "143"))
imap.User = Setting("user", "vesk")
imap.Password = Setting("password", "vesk-pass")
Select Case LCase(Setting("security", "none"))
  Case "starttls" : imap.Security = 1
  Case "tls" : imap.Security = 2
End Select
imap.Connect

' Mailbox names use backslashes between levels, whatever the server uses.
Const PROJECTS = "INBOX\Projects 2026"
imap.CreateMailbox PROJECTS

imap.MailboxName = "INBOX"
Dim name
' GetMailboxesList lists what lies under MailboxName; "" would list them all.
WScript.Echo "Mailboxes under INBOX:"
For Each name In imap.GetMailboxesList
  WScript.Echo "  " & name
Next

' Store a message composed here in the new mailbox.
Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "planner@example.com"
message.To.Add.Address = "vesk@localhost"
message.Subject = "Kick-off"
message.Text = "Kick-off on Monday at nine." & vbCrLf
imap.AppendMessage PROJECTS, message

imap.MailboxName = PROJECTS
imap.SelectMailbox False
WScript.Echo PROJECTS & " holds " & imap.MessageCount & " message(s)"

' Search, fetch and flag.
Dim found, number
found = imap.Search("SUBJECT ""Kick-off""")
WScript.Echo "Search found " & (UBound(found) + 1) & " message(s)"
For Each number In found
  Dim fetched
  Set fetched = imap.Retrieve(number)
  WScript.Echo "  #" & number & ": " & fetched.Subject & ", " & imap.GetMessageSize(number) & " bytes, text: " & _
               Replace(fetched.Text, vbLf, " ")
  imap.PutMessageFlags number, IMAP_MESSAGE_FLAG_SEEN Or IMAP_MESSAGE_FLAG_FLAGGED
  Dim flags : flags = imap.GetMessageFlags(number)
  WScript.Echo "  flags now: seen=" & CBool(flags And IMAP_MESSAGE_FLAG_SEEN) & _
               " flagged=" & CBool(flags And IMAP_MESSAGE_FLAG_FLAGGED) & _
               " recent=" & CBool(flags And IMAP_MESSAGE_FLAG_RECENT)
Next

' Clean up: leave the mailbox and delete it.
imap.MailboxName = "INBOX"
imap.SelectMailbox True
imap.DeleteMailbox PROJECTS
imap.Disconnect
WScript.Echo "Done."
