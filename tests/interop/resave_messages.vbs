' Loads every msg_*.txt of a folder with the component and saves it into
' another, for Python's email package to compare what it reads in both.
'   resave_messages.vbs <from folder> <to folder>
Option Explicit
Dim fso, file, message, count
Set fso = CreateObject("Scripting.FileSystemObject")
count = 0
For Each file In fso.GetFolder(WScript.Arguments(0)).Files
  If LCase(Left(file.Name, 4)) = "msg_" Then
    Set message = CreateObject("VeskMail.MIMEMessage")
    message.Load file.Path
    message.Save fso.BuildPath(WScript.Arguments(1), file.Name)
    count = count + 1
  End If
Next
WScript.Echo count & " messages saved again"
WScript.Echo "SCRIPT PASSED"
WScript.Quit 0
