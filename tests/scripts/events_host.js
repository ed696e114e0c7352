// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Events through the script host from JScript (tests/components/
// event_source.cpp raises them): WScript.CreateObject with a prefix and
// WScript.ConnectObject call the global function prefix + event name while
// Fire runs, with the event's arguments in order; an event without a handler
// is ignored; DisconnectObject ends the calls. (A JScript function cannot
// assign to an argument passed by reference, so Cancel is VBScript's test.)
var heard = "", doneCount = -1, quietDone = -1;
function p_Ping(number, cancel) {
  heard += number + ":" + typeof number + "," + typeof cancel + "," + cancel + ";";
}
function p_Done(count) { doneCount = count; }
function q_Done(count) { quietDone = count; }

var pinger = WScript.CreateObject("VeskTest.Pinger", "p_");
check(pinger.Connections === 1, "CreateObject with a prefix connects the object");
check(pinger.Fire(3) === 3, "three pings raised");
check(heard === "1:number,boolean,false;2:number,boolean,false;3:number,boolean,false;",
      "p_Ping called for each ping with number and cancel in order (heard " + heard + ")");
check(doneCount === 3, "p_Done called with the count (got " + doneCount + ")");

WScript.DisconnectObject(pinger);
check(pinger.Connections === 0, "DisconnectObject ends the connection");
heard = "";
doneCount = -1;
check(pinger.Fire(2) === 2 && heard === "" && doneCount === -1, "no handler called once disconnected");

WScript.ConnectObject(pinger, "q_");
check(pinger.Connections === 1, "ConnectObject connects an existing object");
check(pinger.Fire(4) === 4 && quietDone === 4 && heard === "", "an event without a handler is ignored");
WScript.DisconnectObject(pinger);

// Prefixes are matched as JScript names are: with their case.
WScript.ConnectObject(pinger, "P_");
check(pinger.Fire(1) === 1 && heard === "", "P_Ping is not p_Ping in JScript");
WScript.DisconnectObject(pinger);

var plain = new ActiveXObject("VeskTest.Pinger");
plain.PlainClassInfo = true;
WScript.ConnectObject(plain, "p_");
heard = "";
check(plain.Fire(2) === 2 && heard === "1:number,boolean,false;2:number,boolean,false;",
      "connected through the class's default source interface (heard " + heard + ")");

check(failureOf(function () { WScript.ConnectObject(new ActiveXObject("Scripting.Dictionary"), "d_"); }) !== "",
      "ConnectObject of an object without events fails");
check(failureOf(function () { WScript.CreateObject("VeskTest.NoSuchClass", "m_"); }).indexOf("VeskTest.NoSuchClass") >= 0,
      "CreateObject of an unknown class fails, naming it");
finish();
