' Put by tools/run_scripts.sh in front of every VBScript scenario that names
' this file in its first line. Check counts a failure; Finish prints the
' success marker the runner looks for, or ends with exit code 1.
Option Explicit
Dim failures : failures = 0
Dim shell : Set shell = CreateObject("WScript.Shell")
Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")

Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Sub Finish()
  If failures = 0 Then
    WScript.Echo "SCRIPT PASSED"
    WScript.Quit 0
  End If
  WScript.Quit 1
End Sub

' A folder of its own under the temporary folder, made empty.
Function ScratchFolder(name)
  Dim path : path = fso.BuildPath(fso.GetSpecialFolder(2), name)
  If fso.FolderExists(path) Then fso.DeleteFolder path, True
  fso.CreateFolder path
  ScratchFolder = path
End Function

' The 256 byte values in order, one character each.
Function AllBytes()
  Dim i : For i = 0 To 255 : AllBytes = AllBytes & Chr(i) : Next
End Function

Sub WriteFile(path, text)
  Dim stream : Set stream = fso.CreateTextFile(path, True)
  stream.Write text
  stream.Close
End Sub

' Wine's ExpandEnvironmentStrings counts the terminating NUL into the text.
Function Env(name)
  Env = Replace(shell.ExpandEnvironmentStrings("%" & name & "%"), Chr(0), "")
End Function

' A POP3, SMTP or IMAP4 object for host and the port its variable names,
' signed in as vesk with the password (SMTP only where a test asks), not
' yet connected.
Function Client(kind, host, portName)
  Dim o : Set o = CreateObject("VeskMail." & kind)
  o.Host = host : o.Port = CInt(Env(portName)) : o.TimeOut = 30000
  If kind <> "SMTP" Then o.User = "vesk" : o.Password = "vesk-pass"
  Set Client = o
End Function

Function Connected(kind, host, portName)
  Dim o : Set o = Client(kind, host, portName)
  o.Connect
  Set Connected = o
End Function

' A message from sender@example.com with subject, to one address and with
' text where they are not empty.
Function NewMessage(address, subject, text)
  Dim m : Set m = CreateObject("VeskMail.MIMEMessage")
  m.From.Address = "sender@example.com"
  If address <> "" Then m.To.Add.Address = address
  m.Subject = subject
  If text <> "" Then m.Text = text
  Set NewMessage = m
End Function

' A POP3 session with the private Dovecot.
Function Pop3Session()
  Set Pop3Session = Connected("POP3", "127.0.0.1", "VESK_POP3_PORT")
End Function

' A POP3 session in which `count` messages have arrived (delivery lands a
' moment after the SMTP transaction), or the last one tried after ten seconds.
Function MailboxWith(count)
  Dim started, session : started = Timer
  Do
    Set session = Pop3Session()
    If session.MessageCount >= count Or Timer - started > 10 Then Exit Do
    session.Disconnect
  Loop
  Set MailboxWith = session
End Function

' Deletes every message of the mailbox.
Sub EmptyMailbox()
  Dim session, i : Set session = Pop3Session()
  For i = 1 To session.MessageCount
    session.Delete i
  Next
  session.Disconnect
End Sub
