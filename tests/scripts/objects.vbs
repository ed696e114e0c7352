' Runs after tests/scripts/prelude.vbs, which tools/run_scripts.sh puts in front.
' The four classes from VBScript: the properties with values of their own,
' and what a script sees when an operation fails; virtual paths inside a page
' (through the test page context). (The ProgIDs, versioned or not, are the
' automation suite's registration test.)
Dim pop3, smtp, imap
Set pop3 = CreateObject("VeskMail.POP3") : Set smtp = CreateObject("VeskMail.SMTP") : Set imap = CreateObject("VeskMail.IMAP4")
Check pop3.Port = 110 And pop3.MessageCount = 0 And pop3.User = "" And pop3.Password = "", "POP3 defaults"
Check TypeName(pop3.Port) = "Integer" And TypeName(pop3.TimeOut) = "Long", "POP3 Port is 16-bit, TimeOut 32-bit"
Check smtp.Port = 25 And smtp.TimeOut = 5000 And smtp.Host = "localhost", "SMTP defaults"
Check imap.Port = 143 And imap.User = "user" And imap.Password = "lemonade" And imap.MailboxName = "INBOX", _
      "IMAP4 defaults"
Check imap.MessageCount = 0 And imap.RecentCount = 0 And imap.FirstUnseen = 0, "IMAP4 counters"
Check TypeName(imap.MessageCount) = "Long", "IMAP4 counters are 32-bit"
imap.User = "" : imap.Password = Empty
Check imap.User = "" And imap.Password = "", "empty and Empty are stored as empty text"

Dim folder, missing, message
folder = ScratchFolder("vesk-objects")
missing = fso.BuildPath(folder, "no-such-dir\out.eml")
Set message = CreateObject("VeskMail.MIMEMessage")
message.Subject = "kept"
Check message.UseVirtualPath = False And message.DenyPhysicalPath = False, "path flags outside a page"

On Error Resume Next
message.Save missing
Check Err.Number = &H80004005, "Save into a missing folder fails with E_FAIL, got " & Hex(Err.Number)
Check Err.Description = "Error occured during open file """ & missing & """.", "Save names the path: " & Err.Description
Check Err.Source = "VeskMail.MIMEMessage.1", "source of the error"
Err.Clear
message.Load fso.BuildPath(folder, "absent.eml")
Check Err.Number = &H80004005 And InStr(Err.Description, "absent.eml") > 0, "Load names the path: " & Err.Description
Err.Clear
Check message.Subject = "kept", "a failed Load leaves the message as it was"
message.Date = 42
Check Err.Number = &H80040080, "Date put with a number: " & Hex(Err.Number)
Check Err.Description = "Unknown type of value supplied for property", "Date put description"
Err.Clear
message.HeaderFields.Item("X-A" & vbCrLf & "Bcc") = "victim@example.com"
Check Err.Number <> 0 And InStr(message.RawMessage, "Bcc") = 0, "a header name with a line break is refused"
Err.Clear
message.Attach fso.BuildPath(folder, "absent.pdf")
Check Err.Number = &H80004005 And message.Attachments.Count = 0, "a failed Attach leaves no empty attachment"
Err.Clear
Dim item : Set item = message.To(1)
Check Err.Number = 9, "an index beyond the collection is 'Subscript out of range', got " & Err.Number
Err.Clear
On Error GoTo 0

' Inside a page: virtual names map under the site's folder.
Dim page, inPage, copy
Set page = CreateObject("VeskTest.PageContext")
page.Root = folder
Set inPage = CreateObject("VeskMail.MIMEMessage")
inPage.OnStartPage page
inPage.UseVirtualPath = True
inPage.Subject = "from a page"
inPage.Save "/page.eml"
Set copy = CreateObject("VeskMail.MIMEMessage")
copy.Load fso.BuildPath(folder, "page.eml")
Check copy.Subject = "from a page", "Save with a virtual name writes under the site folder"
On Error Resume Next
inPage.Save "/mail/../../escape.eml"
Check Err.Number = &H80004005 And Err.Description = "", "a name the page cannot map fails without a description"
Err.Clear
inPage.Save "/no-such-dir/page.eml"
Check InStr(Err.Description, fso.BuildPath(folder, "no-such-dir\page.eml")) > 0, "physical path: " & Err.Description
Err.Clear
fso.DeleteFolder folder, True
On Error GoTo 0
inPage.OnEndPage
Finish
