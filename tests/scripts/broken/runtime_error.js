// Must fail: the message object has no such method (error 438 on line 3).
var message = new ActiveXObject("VeskMail.MIMEMessage");
message.NoSuchMethod();
WScript.Echo("SCRIPT PASSED");
