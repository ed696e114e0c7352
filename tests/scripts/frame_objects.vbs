' The four classes from VBScript: creation by both ProgIDs, every property
' that has a value of its own, and how a failure reaches the script.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim progId
For Each progId In Array("VeskMail.POP3", "VeskMail.SMTP", "VeskMail.IMAP4", "VeskMail.MIMEMessage")
  Dim a, b
  Set a = CreateObject(progId)
  Set b = CreateObject(progId & ".1")
  Check Not a Is Nothing And Not b Is Nothing, "create " & progId
Next

Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
Check pop3.Port = 110, "POP3 Port default"
Check pop3.TimeOut = 5000, "POP3 TimeOut default"
Check pop3.MessageCount = 0, "POP3 MessageCount default"
Check pop3.User = "" And pop3.Password = "", "POP3 User and Password default"
pop3.User = "alice" : pop3.Password = "s3cret" : pop3.Host = "127.0.0.1" : pop3.Port = 1110 : pop3.TimeOut = 250
Check pop3.User = "alice" And pop3.Password = "s3cret", "POP3 User and Password"
Check pop3.Host = "127.0.0.1" And pop3.Port = 1110 And pop3.TimeOut = 250, "POP3 Host, Port, TimeOut"
Check TypeName(pop3.Port) = "Integer", "POP3 Port is a 16-bit integer"

Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
Check smtp.Port = 25 And smtp.TimeOut = 5000 And smtp.Host <> "", "SMTP defaults"
smtp.Host = "mail.example.org" : smtp.Port = 2525 : smtp.TimeOut = 1000
Check smtp.Host = "mail.example.org" And smtp.Port = 2525 And smtp.TimeOut = 1000, "SMTP properties"

Dim imap : Set imap = CreateObject("VeskMail.IMAP4")
Check imap.Port = 143 And imap.User = "user" And imap.Password = "lemonade", "IMAP4 defaults"
Check imap.MailboxName = "INBOX", "IMAP4 MailboxName default"
Check imap.MessageCount = 0 And imap.RecentCount = 0 And imap.FirstUnseen = 0, "IMAP4 counters"
Check TypeName(imap.MessageCount) = "Long", "IMAP4 counters are 32-bit"
imap.MailboxName = "INBOX\Archive\2026"
Check imap.MailboxName = "INBOX\Archive\2026", "IMAP4 MailboxName round trip"
imap.User = "" : imap.Password = Empty
Check imap.User = "" And imap.Password = "", "empty and Empty are stored as empty text"

Dim message : Set message = CreateObject("VeskMail.MIMEMessage")
message.UseVirtualPath = True
Check message.UseVirtualPath = False, "UseVirtualPath stays off outside a page"
Check message.DenyPhysicalPath = False, "DenyPhysicalPath"

On Error Resume Next
imap.Connect
Check Err.Number <> 0, "a failing method raises an error"
Check Err.Source = "VeskMail.IMAP4.1", "error source is the versioned ProgID, got " & Err.Source
Check Len(Err.Description) > 0, "error has a description"
Err.Clear
On Error GoTo 0

If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
