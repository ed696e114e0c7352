' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' Save never leaves a half-written file: on a full file system and in a
' read-only one (both mounted by the test command) the old file stays as it
' was and nothing is left beside it.
Dim mounted : Set mounted = shell.Environment("PROCESS")
Function WinPath(variable)
  WinPath = "Z:" & Replace(mounted(variable), "/", "\")
End Function

' Saves over old.eml in `folder` and expects a failure that leaves it alone.
Sub SaveFails(folder, message, what)
  Dim target : target = fso.BuildPath(folder, "old.eml")
  Dim before : before = fso.GetFolder(folder).Files.Count
  On Error Resume Next
  message.Save target
  Dim number : number = Err.Number
  Dim description : description = Err.Description
  On Error GoTo 0
  Check number <> 0, what & ": Save reported success"
  Check InStr(description, "old.eml") > 0, what & ": the error names the file: " & description
  Check fso.OpenTextFile(target, 1).ReadAll = "old content" & vbLf, what & ": the old file changed"
  Check fso.GetFolder(folder).Files.Count = before, what & ": something was left beside the file"
End Sub

If mounted("VESK_FULL_FS") = "" Or mounted("VESK_READONLY_FS") = "" Then
  WScript.Echo "skipped: no small file systems mounted for the failing saves"
Else
  Dim big, full
  Set big = CreateObject("VeskMail.MIMEMessage")
  big.Text = String(400000, "x")
  full = WinPath("VESK_FULL_FS")
  WriteFile fso.BuildPath(full, "old.eml"), "old content" & vbLf
  SaveFails full, big, "full file system"
  fso.DeleteFile fso.BuildPath(full, "old.eml")
  SaveFails WinPath("VESK_READONLY_FS"), big, "read-only folder"
End If
Finish
