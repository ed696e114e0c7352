' What a script sees when message operations fail, and virtual paths inside
' a page (through the test page context).
Option Explicit
Dim failures : failures = 0
Sub Check(condition, what)
  If Not condition Then
    WScript.Echo "FAIL: " & what
    failures = failures + 1
  End If
End Sub

Dim fso, folder, missing, message
Set fso = CreateObject("Scripting.FileSystemObject")
folder = fso.BuildPath(fso.GetSpecialFolder(2), "vesk-errors")
If Not fso.FolderExists(folder) Then fso.CreateFolder folder
missing = fso.BuildPath(folder, "no-such-dir\out.eml")
Set message = CreateObject("VeskMail.MIMEMessage")
message.Subject = "kept"

On Error Resume Next
message.Save missing
Check Err.Number = &H80004005, "Save into a missing folder fails with E_FAIL, got " & Hex(Err.Number)
Check Err.Description = "Error occured during open file """ & missing & """.", "Save names the path: " & Err.Description
Check Err.Source = "VeskMail.MIMEMessage.1", "source of the error"
Err.Clear

message.Load fso.BuildPath(folder, "absent.eml")
Check Err.Number = &H80004005, "Load of a missing file fails"
Check InStr(Err.Description, "absent.eml") > 0, "Load names the path: " & Err.Description
Err.Clear
Check message.Subject = "kept", "a failed Load leaves the message as it was"

message.Date = 42
Check Err.Number = &H80040080, "Date put with a number: " & Hex(Err.Number)
Check Err.Description = "Unknown type of value supplied for property", "Date put description"
Err.Clear
message.Date = "Mon, 7 Mar 2005 10:00:00 +0100"
Check Err.Number = 0 And message.HeaderFields.Item("Date") = "Mon, 7 Mar 2005 10:00:00 +0100", "Date put with text"
Err.Clear

message.HeaderFields.Item("X-A" & vbCrLf & "Bcc") = "victim@example.com"
Check Err.Number <> 0, "a header name with a line break is refused"
Err.Clear
Check InStr(message.RawMessage, "Bcc") = 0, "nothing of the refused name reached the message"

message.Attach fso.BuildPath(folder, "absent.pdf")
Check Err.Number = &H80004005, "Attach of a missing file fails"
Err.Clear
Check message.Attachments.Count = 0, "a failed Attach leaves no empty attachment"
On Error GoTo 0

' Inside a page: virtual names map under the site's folder.
Dim page, inPage
Set page = CreateObject("VeskTest.PageContext")
page.Root = folder
Set inPage = CreateObject("VeskMail.MIMEMessage")
inPage.UseVirtualPath = True
Check inPage.UseVirtualPath = False, "no virtual paths before OnStartPage"
inPage.OnStartPage page
inPage.UseVirtualPath = True
Check inPage.UseVirtualPath = True, "virtual paths after OnStartPage"
inPage.Subject = "from a page"
On Error Resume Next
inPage.Save "/mail/../../escape.eml"
Check Err.Number = &H80004005 And Err.Description = "", "a name the page cannot map fails without a description"
Err.Clear
On Error GoTo 0
inPage.Save "/page.eml"
Check fso.FileExists(fso.BuildPath(folder, "page.eml")), "Save with a virtual name writes under the site folder"
Dim copy : Set copy = CreateObject("VeskMail.MIMEMessage")
copy.Load fso.BuildPath(folder, "page.eml")
Check copy.Subject = "from a page", "the page's file holds the message"
On Error Resume Next
inPage.Save "/no-such-dir/page.eml"
Check InStr(Err.Description, fso.BuildPath(folder, "no-such-dir\page.eml")) > 0, _
      "the message names the physical path: " & Err.Description
Err.Clear
On Error GoTo 0
inPage.OnEndPage

On Error Resume Next
fso.DeleteFolder folder, True
On Error GoTo 0
If failures = 0 Then
  WScript.Echo "SCRIPT PASSED"
  WScript.Quit 0
End If
WScript.Quit 1
