' Sends 1,000 small messages over one SMTP connection, then retrieves the
' 1,000 messages over one POP3 connection, whole (Retrieve) and as header and
' five lines (RetrieveTop), through veskmail.dll, and prints the time per
' message. Given the engine's times for the same work (as
' bench_automation.exe prints them on its "engine-ms" line), it prints the
' ratio to the engine too. bench/scripts/automation_bench.sh runs it so; by
' hand, with the private servers started (tools/mailservers.sh start):
'   /usr/lib/wine/wine64 build/win64/bin/script_host.exe bench/scripts/smtp_pop3_1000.vbs /smtp:2525 /pop3:2110
'     [/engine-Send:ms] [/engine-Retrieve:ms] [/engine-RetrieveTop:ms]
Option Explicit
Const MESSAGES = 1000

Function Setting(name, fallback)
  Dim i, prefix
  Setting = fallback
  prefix = LCase("/" & name & ":")
  For i = 0 To WScript.Arguments.Count - 1
    If LCase(Left(WScript.Arguments(i), Len(prefix))) = prefix Then Setting = Mid(WScript.Arguments(i), Len(prefix) + 1)
  Next
End Function

Function Pop3Session()
  Dim pop3 : Set pop3 = CreateObject("VeskMail.POP3")
  pop3.Host = "127.0.0.1" : pop3.Port = CInt(Setting("pop3", "2110"))
  pop3.User = "vesk" : pop3.Password = "vesk-pass"
  pop3.Connect
  Set Pop3Session = pop3
End Function

' One result line: the time per message and, when the engine's time for the
' same run is known, the ratio to it.
Sub Report(task, seconds)
  Dim line, engine
  line = "VBScript " & task & ": " & FormatNumber(seconds * 1000000 / MESSAGES, 1) & " us per message"
  engine = Setting("engine-" & task, "")
  If engine <> "" Then
    ' The engine's figure is written with a decimal point whatever the locale.
    engine = CDbl(Replace(engine, ".", Mid(CStr(1.5), 2, 1)))
    If engine > 0 Then line = line & " (" & FormatNumber(seconds * 1000 / engine, 2) & "x the engine)"
  End If
  WScript.Echo line
End Sub

Dim pop3, i, started, seconds
Set pop3 = Pop3Session()
For i = 1 To pop3.MessageCount
  pop3.Delete i
Next
pop3.Disconnect

Dim message
Set message = CreateObject("VeskMail.MIMEMessage")
message.From.Address = "bench@example.com"
message.To.Add.Address = "vesk@localhost"
message.Subject = "bench"
message.Text = "A small message for the benchmark." & vbCrLf & ".A line with a period in front." & vbCrLf

Dim smtp : Set smtp = CreateObject("VeskMail.SMTP")
smtp.Host = "127.0.0.1" : smtp.Port = CInt(Setting("smtp", "2525"))
started = Timer
smtp.Connect
For i = 1 To MESSAGES
  smtp.Send message
Next
smtp.Disconnect
seconds = Timer - started
Report "Send", seconds

' Wait until every message is in the mailbox.
Dim tries
For tries = 1 To 600
  Set pop3 = Pop3Session()
  If pop3.MessageCount >= MESSAGES Then Exit For
  pop3.Disconnect
  WScript.Sleep 100
Next
Dim fetched
started = Timer
For i = 1 To MESSAGES
  Set fetched = pop3.Retrieve(i)
Next
seconds = Timer - started
Report "Retrieve", seconds
started = Timer
For i = 1 To MESSAGES
  Set fetched = pop3.RetrieveTop(i, 5)
Next
seconds = Timer - started
Report "RetrieveTop", seconds
For i = 1 To MESSAGES
  pop3.Delete i
Next
pop3.Disconnect
