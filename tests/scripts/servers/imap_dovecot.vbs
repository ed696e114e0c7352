' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' IMAP4 against the private Dovecot: append, select, search, flags, fetch in
' its three forms byte for byte, copy, expunge, and news from another session
' among the answers. (Mailboxes created, listed, renamed and deleted:
' imap_names.js; a refused APPEND's text is the engine suite's.)
Const SEEN = 1, ANSWERED = 2, FLAGGED = 4, DELETED = 8
Dim imap, other, name, plain, mixed, attached, whole, header, top, found, flags, i, binary

Set imap = Connected("IMAP4", "127.0.0.1", "VESK_IMAP_PORT")
On Error Resume Next  ' an earlier run may have left its mailboxes
For Each name In Array("VeskScript\Archive 2026", "VeskScript\Inbox copy", "VeskScript")
  imap.DeleteMailbox name
Next
On Error GoTo 0
For Each name In Array("VeskScript", "VeskScript\Archive 2026", "VeskScript\Inbox copy")
  imap.CreateMailbox name
Next

' Plain text whose lines look like protocol (tags, a lone parenthesis, a
' literal announcement, a long line, high bytes), and text with an attachment.
Set plain = NewMessage("vesk@localhost", "plain one", "")
plain.Date = "Fri, 07 Mar 2003 10:00:00 +0000"
plain.Text = "first line" & vbCrLf & ")" & vbCrLf & "* 1 FETCH (RFC822 {12}" & vbCrLf & "A1 OK Fetch completed." & _
             vbCrLf & "+ go ahead" & vbCrLf & String(3000, "L") & vbCrLf & "Gr" & Chr(252) & Chr(223) & "e" & vbCrLf
binary = AllBytes()
For i = 1 To 8
  binary = binary & StrReverse(binary)
Next
Set mixed = NewMessage("", "with attachment", "")
mixed.Date = "Mon, 10 Mar 2003 10:00:00 +0000" : mixed.Text = "see attached"
Set attached = mixed.Attachments.Add
attached.Load binary
attached.FileName = "data.bin" : attached.ContentType = "application/octet-stream" : attached.ContentEncoding = "base64"
imap.AppendMessage "VeskScript\Archive 2026", plain
imap.AppendMessage "VeskScript\Archive 2026", mixed

imap.MailboxName = "VeskScript\Archive 2026"
imap.SelectMailbox True
Check imap.MessageCount = 2, "EXAMINE counts two messages, got " & imap.MessageCount
imap.SelectMailbox False
Check imap.MessageCount = 2 And imap.FirstUnseen = 1, "SELECT counters"
Set header = imap.RetrieveHeader(2)
Check header.Subject = "with attachment" And header.Text = "", "RetrieveHeader brings the header only"
Check 0 = (imap.GetMessageFlags(1) And SEEN), "the header alone leaves the message unseen"
Set whole = imap.Retrieve(1)
Check whole.RawMessage = plain.RawMessage, "the plain message comes back byte for byte"
Check imap.GetMessageSize(1) = Len(plain.RawMessage), "size of the plain message"
Set top = imap.RetrieveTop(1, 10)
Check Left(top.Text, 11) = "first line" & vbLf, "RetrieveTop brings the first bytes of the text: " & top.Text
Set whole = imap.Retrieve(2)
Check whole.Attachments.Count = 1 And whole.Attachments(1).FileName = "data.bin", "attachment fetched"
Check whole.Attachments(1).SimpleContent = binary, "attachment bytes"

found = imap.Search("SUBJECT ""plain""")
Check UBound(found) = 0, "one message by subject"
If UBound(found) = 0 Then Check found(0) = 1, "message 1 by subject"
found = imap.SearchSentBefore(DateSerial(2003, 3, 8) + TimeSerial(23, 0, 0))
Check UBound(found) = 0, "one message sent before 8 March 2003"
found = imap.SearchSentSince(DateSerial(2003, 3, 8))
Check UBound(found) = 0, "one message sent since 8 March 2003"
found = imap.Search("SUBJECT ""nothing like this""")
Check UBound(found) = -1, "no match gives an empty array"
imap.PutMessageFlags 2, FLAGGED Or ANSWERED
flags = imap.GetMessageFlags(2) And (SEEN Or ANSWERED Or FLAGGED Or DELETED)
Check flags = (FLAGGED Or ANSWERED), "flags put and read back (the seen flag replaced), got " & flags
found = imap.SearchByFlags(FLAGGED Or ANSWERED)
Check UBound(found) = 0, "search by flags finds the flagged message"

' Another session appends to the selected mailbox: the news comes in front of
' an answer to this session and is not taken for it.
Set other = Connected("IMAP4", "127.0.0.1", "VESK_IMAP_PORT")
other.AppendMessage "VeskScript\Archive 2026", plain
Dim started : started = Timer
Do
  found = imap.Search("ALL")
Loop Until UBound(found) = 2 Or Timer - started > 5
Check UBound(found) = 2, "the new message is seen, got " & UBound(found) + 1
other.Disconnect

imap.CopyMessage 1, "VeskScript\Inbox copy"
imap.DeleteMessage 1
imap.Expunge
imap.UpdateStatus
Check imap.MessageCount = 2, "two messages left after expunge"
imap.MailboxName = "VeskScript\Inbox copy"
imap.SelectMailbox True
Check imap.MessageCount = 1 And imap.Retrieve(1).RawMessage = plain.RawMessage, "the copy arrived"

imap.MailboxName = "INBOX"
imap.SelectMailbox True
For Each name In Array("VeskScript\Archive 2026", "VeskScript\Inbox copy", "VeskScript")
  imap.DeleteMailbox name
Next
imap.Disconnect
Finish
