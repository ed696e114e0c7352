' Must fail: an error inside an event handler (a type mismatch, error 13 on
' line 5) ends the script as any other error would.
Option Explicit
Sub p_Ping(Number, Cancel)
  Cancel = CInt("not a number")
End Sub
Dim pinger : Set pinger = WScript.CreateObject("VeskTest.Pinger", "p_")
pinger.Fire 1
WScript.Echo "SCRIPT PASSED"
