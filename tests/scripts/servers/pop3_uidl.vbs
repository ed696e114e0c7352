' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' POP3 unique identifiers against Dovecot and Cyrus: the same in two
' sessions, and still naming the same message after another was deleted.

Sub RunAgainst(label, pop3Port, imapPort)
  Dim imap, i, pop3, count, last, before, firstUid
  WScript.Echo "-- " & label
  ' Three messages at least, put there over IMAP.
  Set imap = Connected("IMAP4", "127.0.0.1", imapPort)
  For i = 1 To 3
    imap.AppendMessage "INBOX", NewMessage("", "uidl " & i, "message " & i)
  Next
  imap.Disconnect

  Set pop3 = Connected("POP3", "127.0.0.1", pop3Port)
  count = pop3.MessageCount
  Check count >= 3, label & ": messages to work with: " & count
  last = pop3.GetMessageUID(count)
  before = pop3.GetMessageUID(count - 1)
  firstUid = pop3.GetMessageUID(1)
  Check last <> "" And last <> before, label & ": identifiers " & last & ", " & before
  Check pop3.FindMessageByUID(last) = count, label & ": found by identifier in the same session"
  pop3.Disconnect

  Set pop3 = Connected("POP3", "127.0.0.1", pop3Port)
  Check pop3.GetMessageUID(count) = last, label & ": the same identifier in the next session"
  pop3.Delete 1
  Check pop3.FindMessageByUID(firstUid) = 0, label & ": a message marked for deletion is not found"
  pop3.Disconnect

  Set pop3 = Connected("POP3", "127.0.0.1", pop3Port)
  Check pop3.MessageCount = count - 1, label & ": one message fewer"
  Check pop3.FindMessageByUID(last) = count - 1, label & ": the last message moved up to " & (count - 1)
  Check pop3.GetMessageUID(count - 1) = last, label & ": and keeps its identifier"
  Check pop3.FindMessageByUID(before) = count - 2, label & ": so does the one before it"
  Check pop3.FindMessageByUID("no-such-identifier") = 0, label & ": an unknown identifier gives 0"
  On Error Resume Next
  pop3.GetMessageUID count + 5
  Check Err.Number <> 0 And Err.Description = "Error occurred during UIDL", label & ": UIDL of a missing message: " & Err.Description
  On Error GoTo 0
  pop3.Disconnect
End Sub

RunAgainst "Dovecot", "VESK_POP3_PORT", "VESK_IMAP_PORT"
RunAgainst "Cyrus", "VESK_CYRUS_POP3_PORT", "VESK_CYRUS_IMAP_PORT"
Finish
