' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' The job a scheduled script does every few minutes, against Dovecot and
' Cyrus: take the mail that is new since the last run (by UID, remembered in
' a file with the mailbox's UIDVALIDITY), save each attachment from its part
' alone, move the message to the mailbox whose role is Sent (it has a German
' name), and remember how far it got. Between two runs mail arrives through
' Postfix and another client expunges a message.

Function Env(name)
  Env = Replace(shell.ExpandEnvironmentStrings("%" & name & "%"), Chr(0), "")
End Function

Function Session(port)
  Dim s : Set s = CreateObject("VeskMail.IMAP4")
  s.Host = "127.0.0.1" : s.Port = port
  s.User = "vesk" : s.Password = "vesk-pass" : s.TimeOut = 30000
  s.Connect
  Set Session = s
End Function

Sub Deliver(address, subject, fileName, content)
  Dim smtp, m, attached
  Set smtp = CreateObject("VeskMail.SMTP")
  smtp.Host = "127.0.0.1" : smtp.Port = CInt(Env("VESK_SMTP_PORT"))
  Set m = CreateObject("VeskMail.MIMEMessage")
  m.From.Address = "scanner@example.com" : m.To.Add.Address = address
  m.Subject = subject : m.Text = "Scanned document attached."
  Set attached = m.Attachments.Add
  attached.Load content
  attached.FileName = fileName : attached.ContentType = "application/pdf" : attached.ContentEncoding = "base64"
  smtp.Connect
  smtp.Send m
  smtp.Disconnect
End Sub

' Waits until the INBOX holds `count` messages (delivery takes a moment).
Sub AwaitMessages(port, count)
  Dim s, started : Set s = Session(port)
  started = Timer
  s.SelectMailbox True
  Do While s.MessageCount < count And Timer - started < 15
    s.WaitForChange 5
    s.SelectMailbox True
  Loop
  Check s.MessageCount >= count, "delivered: " & s.MessageCount & " of " & count
  s.Disconnect
End Sub

Function ReadState(file)
  ReadState = Array(0, 0)
  If fso.FileExists(file) Then ReadState = Split(fso.OpenTextFile(file, 1).ReadLine, " ")
End Function

' One run of the job; returns how many messages it took.
Function RunJob(port, stateFile, folder)
  Dim imap, state, validity, last, found, uid, parts, part, archive, taken
  state = ReadState(stateFile)
  Set imap = Session(port)
  imap.UseUIDs = True
  imap.MailboxName = "INBOX"
  imap.SelectMailbox False
  validity = imap.UIDValidity
  last = CDbl(state(1))
  If CDbl(state(0)) <> validity Then last = 0  ' the mailbox was made anew: every UID is new
  archive = imap.SpecialMailbox("Sent")
  taken = 0
  found = imap.Search("UID " & (last + 1) & ":*")
  For Each uid In found
    If uid > last Then  ' "n:*" also names the last message when nothing is newer
      parts = imap.GetMessageParts(uid)
      For Each part In parts
        If imap.PartFileName(part) <> "" Then imap.SavePart uid, part, fso.BuildPath(folder, imap.PartFileName(part))
      Next
      imap.MoveMessage uid, archive
      If uid > last Then last = uid
      taken = taken + 1
    End If
  Next
  fso.CreateTextFile(stateFile, True).WriteLine validity & " " & last
  imap.Disconnect
  RunJob = taken
End Function

Sub ClearMailbox(port, name)
  Dim s, n : Set s = Session(port)
  s.MailboxName = name
  s.SelectMailbox False
  For Each n In s.Search("ALL")
    s.DeleteMessage n
  Next
  s.Expunge
  s.Disconnect
End Sub

Sub RunAgainst(label, port, address)
  Dim folder, stateFile, other, archived, s, first
  WScript.Echo "-- " & label
  folder = ScratchFolder("vesk-scheduled-job")
  stateFile = fso.BuildPath(folder, "state.txt")
  Set s = Session(port)
  archived = s.SpecialMailbox("Sent")
  s.Disconnect
  Check archived = "Gesendete Objekte", label & ": the archive is found by its role: " & archived
  ClearMailbox port, "INBOX"
  ClearMailbox port, archived

  Deliver address, "scan 1", "scan-1.pdf", "%PDF-1 " & String(3000, "a")
  Deliver address, "scan 2", "scan-2.pdf", "%PDF-2 " & String(200000, "b")
  AwaitMessages port, 2
  Check RunJob(port, stateFile, folder) = 2, label & ": the first run takes both messages"
  Check fso.FileExists(fso.BuildPath(folder, "scan-1.pdf")) And fso.FileExists(fso.BuildPath(folder, "scan-2.pdf")), _
        label & ": both attachments saved"
  Check fso.GetFile(fso.BuildPath(folder, "scan-2.pdf")).Size = 200007, label & ": the attachment's bytes"
  Check RunJob(port, stateFile, folder) = 0, label & ": a run with nothing new takes nothing"

  ' Three more arrive; another client expunges the first of them before the
  ' job runs, so every message number after it shifts.
  Deliver address, "scan 3", "scan-3.pdf", "%PDF-3"
  Deliver address, "scan 4", "scan-4.pdf", "%PDF-4"
  Deliver address, "scan 5", "scan-5.pdf", "%PDF-5"
  AwaitMessages port, 3
  Set other = Session(port)
  other.SelectMailbox False
  first = other.Search("SUBJECT ""scan 3""")
  Check UBound(first) = 0, label & ": the other client finds scan 3"
  other.DeleteMessage first(0)
  other.Expunge
  other.Disconnect
  Check RunJob(port, stateFile, folder) = 2, label & ": the second run takes the two that are left"
  Check Not fso.FileExists(fso.BuildPath(folder, "scan-3.pdf")), label & ": nothing of the expunged message"
  Check fso.FileExists(fso.BuildPath(folder, "scan-4.pdf")) And fso.FileExists(fso.BuildPath(folder, "scan-5.pdf")), _
        label & ": the new attachments saved"

  Set s = Session(port)
  s.MailboxName = archived
  s.SelectMailbox True
  Check s.MessageCount = 4, label & ": four messages in the archive: " & s.MessageCount
  s.MailboxName = "INBOX"
  s.SelectMailbox True
  Check s.MessageCount = 0, label & ": the INBOX is empty: " & s.MessageCount
  s.Disconnect
End Sub

RunAgainst "Dovecot", CInt(Env("VESK_IMAP_PORT")), "vesk@localhost"
RunAgainst "Cyrus", CInt(Env("VESK_CYRUS_IMAP_PORT")), Env("VESK_CYRUS_MAIL_ADDRESS")
Finish
