' Must fail: the class is not registered (error 429 on line 3).
Option Explicit
Dim missing : Set missing = CreateObject("VeskMail.NoSuchClass")
WScript.Echo "SCRIPT PASSED"
