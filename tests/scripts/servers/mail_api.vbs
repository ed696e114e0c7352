' tests/scripts/prelude.vbs
' VeskMail.MailAPI through the DLL against the local fake of both providers'
' web APIs (mounted in the local OAuth 2 server, VESK_OAUTH2_URL), with an
' application's token from VeskMail.OAuth2: the sender's copy is what Save
' writes and the recipients' copy has no Bcc; a large message takes each
' provider's large road; pages of odd sizes; move, mark, delete; throttling
' waited out; a revoked token renewed; "me" refused for an application's
' token; the provider's error texts; a send the provider took before failing
' is not made again.
Dim base : base = Env("VESK_OAUTH2_URL")
Dim scratch : scratch = ScratchFolder("vesk_mail_api")

Function Control(method, path)
  Dim http : Set http = CreateObject("WinHttp.WinHttpRequest.5.1")
  http.Open method, base & path, False
  http.Send
  Control = http.ResponseText
End Function

Function NewApi(provider, mailbox)
  Dim oauth : Set oauth = CreateObject("VeskMail.OAuth2")
  oauth.TokenEndpoint = base & "/token"
  oauth.ClientId = "vesk-service" : oauth.ClientSecret = "vesk-service-secret" : oauth.Scope = "mail"
  Dim api : Set api = CreateObject("VeskMail.MailAPI")
  api.Provider = provider
  api.BaseAddress = base
  api.Mailbox = mailbox
  api.TimeOut = 20000
  Set api.OAuth2 = oauth
  Set NewApi = api
End Function

Function Outgoing(subject)
  Dim m : Set m = CreateObject("VeskMail.MIMEMessage")
  m.From.Address = "vesk@example.test"
  m.To.Add.Address = "vesk@example.test"
  m.Bcc.Add.Address = "hidden@example.test"
  m.Subject = subject
  m.Text = "Text of " & subject & vbCrLf
  Set Outgoing = m
End Function

' A file's text, each byte one character (the files compared here are ASCII).
Function FileBytes(path)
  FileBytes = fso.OpenTextFile(path, 1).ReadAll
End Function

' The error a call left, as "number|description" ("0|" when it succeeded).
Function Failure(api, member, a, b)
  On Error Resume Next
  Dim ignored
  Select Case member
    Case "Send" : api.Send a
    Case "Retrieve" : Set ignored = api.Retrieve(a)
    Case "ListMessages" : ignored = api.ListMessages(a, b)
  End Select
  Failure = api.LastError & "|" & Err.Description
  On Error GoTo 0
End Function

Dim provider
For Each provider In Array("graph", "gmail")
  Control "POST", "/test/api/reset"
  Dim api : Set api = NewApi(provider, "vesk@example.test")

  ' The sender's copy is byte for byte what Save writes; the recipient's
  ' has no Bcc.
  Dim message : Set message = Outgoing("small " & provider)
  api.Send message
  Check InStr(api.LastServerReply, "HTTP/1.1 20") = 1, provider & " send: " & api.LastServerReply
  message.Save fso.BuildPath(scratch, "saved.eml")
  Dim sent : sent = api.ListMessages("sentitems")
  Check UBound(sent) = 0, provider & ": one message in sent items"
  api.Retrieve(sent(0)).Save fso.BuildPath(scratch, "sent.eml")
  Check FileBytes(fso.BuildPath(scratch, "saved.eml")) = FileBytes(fso.BuildPath(scratch, "sent.eml")), _
    provider & ": the sender's copy is what Save writes"
  Check InStr(fso.OpenTextFile(fso.BuildPath(scratch, "saved.eml")).ReadAll, "hidden@example.test") > 0, _
    provider & ": Save keeps Bcc"
  Dim inbox : inbox = api.ListMessages("inbox")
  Check UBound(inbox) = 0, provider & ": one message in the inbox"
  Dim received : Set received = api.Retrieve(inbox(0))
  Check received.Subject = "small " & provider, provider & " subject: " & received.Subject
  Check InStr(received.RawMessage, "hidden@example.test") = 0, provider & ": the recipient sees no Bcc"
  Check api.MessageSize(inbox(0)) = Len(received.RawMessage), provider & ": MessageSize is the MIME's size"

  ' A large message: an attachment of 6 MB.
  Dim big : big = fso.BuildPath(scratch, "report.txt")
  Dim line : line = String(98, "r") & vbCrLf
  Dim text, i : text = ""
  For i = 1 To 1000 : text = text & line : Next
  Dim file : Set file = fso.CreateTextFile(big, True)
  For i = 1 To 60 : file.Write text : Next
  file.Close
  Set message = Outgoing("large " & provider)
  message.Attach big
  api.Send message
  inbox = api.ListMessages("inbox", 1)
  Set received = api.Retrieve(inbox(0))
  Check received.Subject = "large " & provider, provider & " large subject: " & received.Subject
  Check received.Attachments.Count = 1, provider & ": the large attachment arrived"
  If received.Attachments.Count = 1 Then
    received.Attachments(1).Save fso.BuildPath(scratch, "arrived.txt")
    Check fso.GetFile(fso.BuildPath(scratch, "arrived.txt")).Size = fso.GetFile(big).Size, _
      provider & ": the attachment arrived whole"
  End If
  Dim requests : requests = Control("GET", "/test/api/requests?mailbox=vesk%40example.test")
  If provider = "graph" Then
    Check InStr(requests, "createUploadSession") > 0, "graph: an upload session for the large attachment"
  Else
    Check InStr(requests, "uploadType=media") > 0, "gmail: the media upload for the large message"
  End If

  ' Mark, move, delete.
  api.MarkRead inbox(0)
  Dim archived : archived = api.MoveMessage(inbox(0), "archive")
  Check archived <> "", provider & ": the moved message's id"
  Check UBound(api.ListMessages("inbox")) = 0, provider & ": one message left in the inbox"
  Dim deleted : deleted = api.DeleteMessage(archived)
  Dim trash : trash = api.ListMessages("deleteditems")
  Check UBound(trash) = 0, provider & ": the deleted message is in deleted items"
  If UBound(trash) = 0 Then Check trash(0) = deleted, provider & ": DeleteMessage gives its id in deleted items"
  Check api.DeleteMessage(deleted, True) = "", provider & ": nothing left to name"
  Check Left(Failure(api, "Retrieve", deleted, 0), 4) = "320|", provider & ": deleted for good"
  Check InStr(Failure(api, "Retrieve", "nosuchid", 0), IIf(provider = "graph", "ErrorItemNotFound", "NOT_FOUND")) > 0, _
    provider & ": the provider's error code: " & Failure(api, "Retrieve", "nosuchid", 0)
  Check InStr(api.LastServerReply, "HTTP/1.1 404") = 1, provider & " LastServerReply: " & api.LastServerReply

  ' Pages of odd sizes.
  Set api = NewApi(provider, "oddpages@example.test")
  For i = 1 To 9 : api.Send Outgoing("page " & i) : Next
  Check UBound(api.ListMessages("inbox")) = 8, provider & ": every page followed"
  Check UBound(api.ListMessages("inbox", 4)) = 3, provider & ": MaxCount"
  Dim newest : newest = api.ListMessages("inbox", 1)
  Check api.Retrieve(newest(0)).Subject = "page 9", provider & ": newest first"

  ' Throttling is waited out; a wait beyond TimeOut fails at once.
  Set api = NewApi(provider, "throttle@example.test")
  Dim started : started = Timer
  api.Send Outgoing("throttled")
  Check Timer - started >= 0.9, provider & ": Retry-After was waited for"
  Set api = NewApi(provider, "slowdown@example.test")
  Check Left(Failure(api, "Send", Outgoing("slow"), 0), 4) = "323|", provider & ": a wait beyond TimeOut"

  ' A revoked token is renewed (client credentials again) and the request
  ' made once more.
  Set api = NewApi(provider, "vesk@example.test")
  api.ListMessages "inbox"
  Control "POST", "/test/api/revoke"
  Check Failure(api, "ListMessages", "inbox", 0) = "0|", provider & ": a revoked token renewed"

  ' Taken, then a gateway failure: not sent again.
  Set api = NewApi(provider, "takes-then-fails@example.test")
  Check InStr(Failure(api, "Send", Outgoing("once"), 0), "may have been delivered") > 0, provider & ": may have been delivered"
  Check UBound(api.ListMessages("inbox")) = 0, provider & ": sent exactly once"
Next

' Graph refuses "me" for an application's token: the error says what to do.
Set api = NewApi("graph", "me")
Check Left(Failure(api, "ListMessages", "inbox", 0), 4) = "326|", "graph: me refused for an application's token"

Function IIf(condition, a, b)
  If condition Then IIf = a Else IIf = b
End Function

Finish
