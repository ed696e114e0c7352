' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Working through a mailbox the way a scheduled script does (take what is
' new since the last UID, save each attachment from its part alone, move the
' message to the mailbox whose role is Sent), against Dovecot and Cyrus: UIDs
' that survive another session's expunge, a search from a UID on, parts
' fetched on their own (the trace shows how little moved), moving to the
' mailbox with the Sent role, a wait for news that costs its time, and POP3's
' unique identifiers. (The UIDPLUS road without MOVE, and the identifiers'
' bookkeeping after a deletion, are the engine suite's dialogues; waiting for
' mail that Postfix delivers is events.vbs's.)
Dim pdf, pdfName
' A file name outside ASCII travels in the RFC 2231 form and comes back decoded.
pdfName = "Gro" & Chr(223) & "er Bericht " & Chr(252) & "ber 5 MB.pdf"

' Empties a mailbox (by message number, as always).
Sub ClearMailbox(imap, mailbox)
  Dim found, n
  imap.UseUIDs = False
  imap.MailboxName = mailbox
  imap.SelectMailbox False
  found = imap.Search("ALL")
  For Each n In found
    imap.DeleteMessage n
  Next
  imap.Expunge
End Sub

Function Message(subject, id, withPdf)
  Dim m, attached : Set m = NewMessage("vesk@localhost", subject, "")
  m.HeaderFields.Item("Message-ID") = "<" & id & ">"
  m.Text = "Text of " & subject & vbCrLf
  If withPdf Then
    Set attached = m.Attachments.Add
    attached.Load pdf
    attached.FileName = pdfName : attached.ContentType = "application/pdf" : attached.ContentEncoding = "base64"
  End If
  Set Message = m
End Function

' Bytes the server sent according to a trace file: its lines, and the size
' of each literal.
Function BytesReceived(traceFile)
  Dim stream, line, text, total, at
  total = 0
  Set stream = fso.OpenTextFile(traceFile, 1)
  Do Until stream.AtEndOfStream
    line = stream.ReadLine
    at = InStr(line, " S: ")
    If at > 0 Then
      text = Mid(line, at + 4)
      If Left(text, 1) = "[" And Right(text, 18) = " bytes of message]" Then
        total = total + CDbl(Mid(text, 2, Len(text) - 19))
      Else
        total = total + Len(text) + 2
      End If
    End If
  Loop
  stream.Close
  BytesReceived = total
End Function

Sub RunAgainst(label, port, pop3Port)
  Dim imap, other, uids, uid1, uid2, uid3, header, parts, folder, trace, saved, started, sent
  WScript.Echo "-- " & label
  folder = ScratchFolder("vesk-mailbox-work")
  Set imap = Connected("IMAP4", "127.0.0.1", port)
  sent = imap.SpecialMailbox("Sent")
  Check sent = "Gesendete Objekte", label & ": the mailbox with the Sent role: " & sent
  Check imap.SpecialMailbox("junk") = "" Or label = "Dovecot", label & ": no Junk mailbox"
  ClearMailbox imap, "INBOX"
  ClearMailbox imap, sent
  imap.AppendMessage "INBOX", Message("first", "first@vesk.test", False)
  imap.AppendMessage "INBOX", Message("second", "second@vesk.test", True)
  imap.AppendMessage "INBOX", Message("third", "third@vesk.test", False)

  ' UIDs, and what another client's expunge does not change.
  imap.UseUIDs = True
  imap.MailboxName = "INBOX"
  imap.SelectMailbox False
  Check TypeName(imap.UIDValidity) = "Double" And imap.UIDValidity > 0, label & ": UIDVALIDITY " & imap.UIDValidity
  Check imap.UIDNext > 0, label & ": UIDNEXT " & imap.UIDNext
  uids = imap.Search("ALL")
  Check UBound(uids) = 2, label & ": three UIDs"
  uid1 = uids(0) : uid2 = uids(1) : uid3 = uids(2)
  Check uid1 < uid2 And uid2 < uid3 And imap.UIDNext > uid3, label & ": UIDs grow: " & uid1 & " " & uid2 & " " & uid3
  Set other = Connected("IMAP4", "127.0.0.1", port)
  other.SelectMailbox False
  other.DeleteMessage 1
  other.Expunge
  Set header = imap.RetrieveHeader(uid2)
  Check InStr(header.HeaderFields.Item("Message-ID"), "second@vesk.test") > 0, _
        label & ": the UID of what was message 2 still fetches it: " & header.HeaderFields.Item("Message-ID")
  ' What is new since a UID, as a job that remembers the last one asks for it.
  uids = imap.Search("UID " & uid2 & ":*")
  Check UBound(uids) = 1, label & ": two messages from UID " & uid2 & " on"
  If UBound(uids) = 1 Then Check uids(0) = uid2 And uids(1) = uid3, label & ": " & uids(0) & " " & uids(1)
  On Error Resume Next
  Set header = imap.Retrieve(uid1)
  Check Err.Number <> 0 And InStr(Err.Description, "No message has the UID " & uid1) = 1, _
        label & ": an expunged UID is an error, not another message: " & Err.Description
  Err.Clear
  On Error GoTo 0

  ' The text and the attachment of a large message, each alone.
  trace = fso.BuildPath(folder, "trace.txt")
  imap.TraceFile = trace
  parts = imap.GetMessageParts(uid2)
  Check UBound(parts) = 1, label & ": two parts"
  Check parts(0) = "1" And parts(1) = "2", label & ": part numbers " & parts(0) & ", " & parts(1)
  Check imap.PartContentType("1") = "text/plain", label & ": type of part 1"
  Check imap.PartFileName("2") = pdfName, label & ": file name " & imap.PartFileName("2")
  Check imap.PartContentType("2") = "application/pdf" And imap.PartEncoding("2") = "base64", label & ": type of part 2"
  Check imap.PartSize("2") > 5000000, label & ": size of part 2 " & imap.PartSize("2")
  ' The part's own text: CR LF line breaks, and no line end added.
  Check imap.GetPartText(uid2, "1") = "Text of second" & vbCrLf, label & ": text of part 1"
  imap.SavePart uid2, "1", fso.BuildPath(folder, "text.txt")
  Check fso.GetFile(fso.BuildPath(folder, "text.txt")).Size = 16, label & ": saved text"
  Check BytesReceived(trace) < 65536, label & ": listing and saving the text moved " & BytesReceived(trace) & " bytes"
  imap.TraceFile = ""
  saved = fso.BuildPath(folder, imap.PartFileName("2"))
  imap.SavePart uid2, "2", saved
  Check fso.GetFile(saved).Size = Len(pdf), label & ": saved attachment of " & fso.GetFile(saved).Size & " bytes"
  Check fso.OpenTextFile(saved, 1).Read(8) = "%PDF-1.4", label & ": attachment content"
  Check 0 = (imap.GetMessageFlags(uid2) And 1), label & ": fetching parts leaves the message unseen"

  ' Moving: to the mailbox with the Sent role, found by role.
  imap.MoveMessage uid2, sent
  uids = imap.Search("ALL")
  Check UBound(uids) = 0 And uids(0) = uid3, label & ": INBOX after the move holds only UID " & uid3
  imap.UseUIDs = False
  imap.MailboxName = sent
  imap.SelectMailbox True
  Check imap.MessageCount = 1, label & ": the Sent mailbox holds the moved message"
  Set header = imap.RetrieveHeader(1)
  Check InStr(header.HeaderFields.Item("Message-ID"), "second@vesk.test") > 0, label & ": moved message"

  ' Waiting: nothing comes, and the wait costs its time and no more.
  imap.UseUIDs = False
  imap.MailboxName = "INBOX"
  imap.SelectMailbox False
  started = Timer
  Check Not imap.WaitForChange(2), label & ": nothing new within 2 s"
  Check Timer - started >= 1.8 And Timer - started < 6, label & ": the wait took " & (Timer - started) & " s"
  imap.UpdateStatus
  Check imap.MessageCount >= 1, label & ": the session goes on: " & imap.MessageCount & " messages"
  imap.AppendMessage "INBOX", Message("uidl", "uidl@vesk.test", False)
  imap.AppendMessage "INBOX", Message("uidl 2", "uidl2@vesk.test", False)
  other.Disconnect
  imap.Disconnect

  ' POP3's unique identifiers: the same in two sessions, found again by
  ' number; an unknown one gives 0.
  Dim pop3, count, last, before
  Set pop3 = Connected("POP3", "127.0.0.1", pop3Port)
  count = pop3.MessageCount
  Check count >= 3, label & ": messages to work with: " & count
  last = pop3.GetMessageUID(count)
  before = pop3.GetMessageUID(count - 1)
  Check last <> "" And last <> before, label & ": identifiers " & last & ", " & before
  pop3.Disconnect
  Set pop3 = Connected("POP3", "127.0.0.1", pop3Port)
  Check pop3.FindMessageByUID(last) = count And pop3.FindMessageByUID(before) = count - 1, _
        label & ": found by identifier in the next session"
  Check pop3.FindMessageByUID("no-such-identifier") = 0, label & ": an unknown identifier gives 0"
  On Error Resume Next
  pop3.GetMessageUID count + 5
  Check Err.Number <> 0 And Err.Description = "Error occurred during UIDL", _
        label & ": UIDL of a missing message: " & Err.Description
  On Error GoTo 0
  pop3.Disconnect
End Sub

pdf = "%PDF-1.4" & vbLf & AllBytes() & String(5 * 1024 * 1024, "Q")

RunAgainst "Dovecot", "VESK_IMAP_PORT", "VESK_POP3_PORT"
RunAgainst "Cyrus", "VESK_CYRUS_IMAP_PORT", "VESK_CYRUS_POP3_PORT"
Finish
