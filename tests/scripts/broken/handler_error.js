// Must fail: an error inside an event handler (error 438 on line 4) ends the
// script as any other error would.
function p_Ping(number, cancel) {
  WScript.NoSuchMethod(number);
}
var pinger = WScript.CreateObject("VeskTest.Pinger", "p_");
pinger.Fire(1);
WScript.Echo("SCRIPT PASSED");
