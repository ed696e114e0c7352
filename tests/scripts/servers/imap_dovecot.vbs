' IMAP4 against the private Dovecot: mailboxes, append, select, search,
' flags, fetch in its three forms, copy and expunge.
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub
Const SEEN = 1, ANSWERED = 2, FLAGGED = 4, DELETED = 8

Dim shell, imap
Set shell = CreateObject("WScript.Shell")
Set imap = CreateObject("VeskMail.IMAP4")
imap.Host = "127.0.0.1"
imap.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_IMAP_PORT%"))
imap.User = "vesk" : imap.Password = "vesk-pass"
imap.TimeOut = 20000
imap.Connect

' Start clean (an earlier run may have left its mailboxes).
On Error Resume Next
imap.DeleteMailbox "VeskScript\Archive 2026"
imap.DeleteMailbox "VeskScript\Inbox copy"
imap.DeleteMailbox "VeskScript\Work"
imap.DeleteMailbox "VeskScript"
On Error GoTo 0

imap.CreateMailbox "VeskScript"
imap.CreateMailbox "VeskScript\Work"
imap.CreateMailbox "VeskScript\Inbox copy"
imap.RenameMailbox "VeskScript\Work", "VeskScript\Archive 2026"
imap.MailboxName = "VeskScript"
Dim list, name, names
list = imap.GetMailboxesList
names = ""
For Each name In list
  names = names & name & ";"
Next
Check InStr(names, "VeskScript\Archive 2026;") > 0 And InStr(names, "VeskScript\Inbox copy;") > 0 And _
      InStr(names, "VeskScript\Work;") = 0, "list after rename: " & names

' Two messages: plain text, and text with an attachment.
Dim plain, mixed
Set plain = CreateObject("VeskMail.MIMEMessage")
plain.From.Address = "a@example.com"
plain.To.Add.Address = "vesk@localhost"
plain.Subject = "plain one"
plain.Date = "Fri, 07 Mar 2003 10:00:00 +0000"
plain.Text = "first line" & vbCrLf & ")" & vbCrLf & "* looks like a reply" & vbCrLf
Set mixed = CreateObject("VeskMail.MIMEMessage")
mixed.Subject = "with attachment"
mixed.Date = "Mon, 10 Mar 2003 10:00:00 +0000"
mixed.Text = "see attached" & vbCrLf
Dim attached : Set attached = mixed.Attachments.Add
attached.Load "col1,col2" & vbCrLf & "1,2" & vbCrLf
attached.FileName = "data.csv"
attached.ContentType = "text/csv"
attached.ContentEncoding = "base64"
imap.AppendMessage "VeskScript\Archive 2026", plain
imap.AppendMessage "VeskScript\Archive 2026", mixed

imap.MailboxName = "VeskScript\Archive 2026"
imap.SelectMailbox True
Check imap.MessageCount = 2, "EXAMINE counts two messages, got " & imap.MessageCount
imap.SelectMailbox False
Check imap.MessageCount = 2, "SELECT counts two messages"

Dim whole, header, top
Set whole = imap.Retrieve(1)
Check whole.RawMessage = plain.RawMessage, "the plain message comes back byte for byte"
Set header = imap.RetrieveHeader(2)
Check header.Subject = "with attachment" And header.Text = "", "RetrieveHeader brings the header only"
Set top = imap.RetrieveTop(1, 10)
Check Left(top.Text, 10) = "first line", "RetrieveTop brings the first bytes of the text: " & top.Text
Set whole = imap.Retrieve(2)
Check whole.Attachments.Count = 1 And whole.Attachments(1).FileName = "data.csv", "attachment fetched"
Check whole.Attachments(1).SimpleContent = "col1,col2" & vbCrLf & "1,2" & vbCrLf, "attachment bytes"
Check imap.GetMessageSize(1) = Len(plain.RawMessage), "size of the plain message"

' Searches.
Dim found
found = imap.Search("SUBJECT ""plain""")
Check UBound(found) = 0, "one message by subject"
If UBound(found) = 0 Then Check found(0) = 1, "message 1 by subject"
found = imap.SearchSentBefore(DateSerial(2003, 3, 8) + TimeSerial(23, 0, 0))
Check UBound(found) = 0, "one message sent before 8 March 2003"
found = imap.SearchSentSince(DateSerial(2003, 3, 8))
Check UBound(found) = 0, "one message sent since 8 March 2003"
found = imap.Search("SUBJECT ""nothing like this""")
Check UBound(found) = -1, "no match gives an empty array"

' Flags.
imap.PutMessageFlags 2, FLAGGED Or ANSWERED
Dim flags : flags = imap.GetMessageFlags(2) And (SEEN Or ANSWERED Or FLAGGED Or DELETED)
' The fetch of message 2 above marked it seen; the put replaced that.
Check flags = (FLAGGED Or ANSWERED), "flags put and read back, got " & flags
found = imap.SearchByFlags(FLAGGED Or ANSWERED)
Check UBound(found) = 0, "search by flags finds the flagged message"

' Copy, then delete and expunge.
imap.CopyMessage 1, "VeskScript\Inbox copy"
imap.DeleteMessage 1
imap.Expunge
imap.UpdateStatus
Check imap.MessageCount = 1, "one message left after expunge"
imap.MailboxName = "VeskScript\Inbox copy"
imap.SelectMailbox True
Check imap.MessageCount = 1, "the copy arrived"

' Clean up.
imap.MailboxName = "INBOX"
imap.SelectMailbox True
imap.DeleteMailbox "VeskScript\Archive 2026"
imap.DeleteMailbox "VeskScript\Inbox copy"
imap.DeleteMailbox "VeskScript"
imap.Disconnect

If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
