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

' A POP3 session with the private Dovecot (port from VESK_POP3_PORT).
Function Pop3Session()
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = "127.0.0.1" : pop3.Port = CInt(shell.ExpandEnvironmentStrings("%VESK_POP3_PORT%"))
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  pop3.Connect
  Set Pop3Session = pop3
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
