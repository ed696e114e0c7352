' tests/scripts/prelude.vbs
' Events through the script host, as the Windows script host connects them,
' against Postfix and Dovecot: Progress during a send, a retrieval and an
' append comes in order, not much more often than every 64 KiB, with the
' total the transfer has, and ends once at 100%; a Cancel during a 5 MB send
' leaves nothing delivered, and one during an append nothing appended; a
' Cancel during a retrieval leaves the mailbox as it was (a deletion in the
' same session is not applied); MailboxChanged while WaitForChange waits.
Dim events, cancelAt, mailboxNews

Sub ResetEvents(limit)
  events = Array() : cancelAt = limit : mailboxNews = -1
End Sub

' Every object here is connected with the prefix "transfer_".
Sub transfer_Progress(Operation, BytesDone, BytesTotal, Cancel)
  Dim n : n = UBound(events) + 1
  ReDim Preserve events(n)
  events(n) = Array(Operation, BytesDone, BytesTotal)
  If n + 1 = cancelAt Then Cancel = True
End Sub
Sub transfer_MailboxChanged(MessageCount)
  mailboxNews = MessageCount
End Sub

' The events so far: in order, of one operation, and (unless cancelled)
' ending at their total.
Sub CheckEvents(label, operation, complete)
  Dim i
  Check UBound(events) >= 1, label & ": events came (" & (UBound(events) + 1) & ")"
  For i = 0 To UBound(events)
    Check events(i)(0) = operation, label & ": operation " & events(i)(0)
    If i > 0 Then Check events(i)(1) > events(i - 1)(1), label & ": in order at " & i
  Next
  If complete And UBound(events) >= 0 Then
    Check UBound(events) < 40, label & ": " & (UBound(events) + 1) & " reports for 1 MB"
    Check events(UBound(events))(1) = events(UBound(events))(2) And events(UBound(events))(2) > 0, _
      label & ": the last at 100%: " & events(UBound(events))(1) & " of " & events(UBound(events))(2)
  End If
End Sub

Function EventClient(kind, portName)
  Dim o : Set o = WScript.CreateObject("VeskMail." & kind, "transfer_")
  o.Host = "127.0.0.1" : o.Port = CInt(Env(portName)) : o.TimeOut = 30000
  If kind <> "SMTP" Then o.User = "vesk" : o.Password = "vesk-pass"
  Set EventClient = o
End Function

Function Large(subject, megabytes)
  Dim m, line, block, i : Set m = NewMessage("vesk@localhost", subject, "")
  line = String(98, "x") & vbCrLf
  For i = 1 To 100 : block = block & line : Next
  Dim text : text = ""
  For i = 1 To megabytes * 100 : text = text & block : Next
  m.Text = text
  Set Large = m
End Function

Dim smtp, pop3, imap, started, count, i, found
EmptyMailbox

' A send of 1 MB, then one of 5 MB cancelled at its third report.
Set smtp = EventClient("SMTP", "VESK_SMTP_PORT")
smtp.Connect
ResetEvents 0
smtp.Send Large("events: whole", 1)
CheckEvents "send", 1, True
ResetEvents 3
On Error Resume Next
smtp.Send Large("events: cancelled", 5)
Check Err.Description = "Cancelled by the caller", "cancelled send: " & Err.Description
On Error GoTo 0
Check smtp.LastError = 247, "cancelled send: LastError " & smtp.LastError
Check UBound(events) = 2, "cancelled send: stopped at the third report"
CheckEvents "cancelled send", 1, False
smtp.Connect
smtp.Send NewMessage("vesk@localhost", "events: marker", "after")
smtp.Disconnect

' Once the marker is there, the cancelled message is known never to come.
Set pop3 = MailboxWith(2)
count = pop3.MessageCount
found = ""
For i = 1 To count
  found = found & "|" & pop3.RetrieveTop(i, 0).Subject
Next
pop3.Disconnect
Check InStr(found, "events: marker") > 0, "the marker arrived: " & found
Check InStr(found, "events: whole") > 0, "the whole send arrived: " & found
Check InStr(found, "events: cancelled") = 0, "nothing of the cancelled send was delivered: " & found

' POP3: a retrieval with its total, and a cancelled one after a deletion.
Set pop3 = EventClient("POP3", "VESK_POP3_PORT")
pop3.Connect
For i = 1 To count
  If InStr(pop3.RetrieveTop(i, 0).Subject, "whole") > 0 Then found = i
Next
ResetEvents 0
pop3.Retrieve found
CheckEvents "retrieve", 2, True
Check events(UBound(events))(2) = pop3.GetMessageSize(found), "retrieve: the total is the size the server gave"
If found = 1 Then pop3.Delete 2 Else pop3.Delete 1
ResetEvents 2
On Error Resume Next
pop3.Retrieve found
Check pop3.LastError = 247, "cancelled retrieve: " & Err.Description
On Error GoTo 0
Set pop3 = Pop3Session()
Check pop3.MessageCount = count, "the mailbox is unchanged: " & pop3.MessageCount & " of " & count
pop3.Disconnect

' IMAP4: an append of 1 MB, and news while waiting.
Set imap = EventClient("IMAP4", "VESK_IMAP_PORT")
imap.Connect
imap.MailboxName = "INBOX"
imap.SelectMailbox False
ResetEvents 0
imap.AppendMessage "INBOX", Large("events: appended", 1)
CheckEvents "append", 4, True
imap.SelectMailbox False  ' counts the appended message, so that only the news is awaited
count = imap.MessageCount
Set smtp = Connected("SMTP", "127.0.0.1", "VESK_SMTP_PORT")
smtp.Send NewMessage("vesk@localhost", "events: news", "new")
smtp.Disconnect
started = Timer
Check imap.WaitForChange(30), "new mail noticed"
Check Timer - started < 3, "noticed within " & (Timer - started) & " s of delivery"
Check mailboxNews = imap.MessageCount And mailboxNews > count, "MailboxChanged with the count: " & mailboxNews
count = imap.MessageCount
ResetEvents 3
On Error Resume Next
imap.AppendMessage "INBOX", Large("events: cancelled append", 1)
Check Err.Description = "Cancelled by the caller", "cancelled append: " & Err.Description
imap.Disconnect  ' (the cancel may have ended the session)
On Error GoTo 0
CheckEvents "cancelled append", 4, False
Check UBound(events) = 2, "cancelled append: stopped at the third report"
Set imap = Connected("IMAP4", "127.0.0.1", "VESK_IMAP_PORT")
imap.SelectMailbox True
Check imap.MessageCount = count, "nothing of the cancelled append arrived: " & imap.MessageCount & " of " & count
imap.Disconnect
EmptyMailbox

Finish
