// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// Events through the script host from JScript (tests/components/
// event_source.cpp raises them): WScript.CreateObject with a prefix calls the
// global function prefix + event name while Fire runs, with the event's
// arguments in order and as JScript values, and prefixes keep their case.
// (Connecting, disconnecting, Cancel and the host's errors are the same host
// code for both languages: events_host.vbs.)
var heard = "", doneCount = -1;
function p_Ping(number, cancel) {
  heard += number + ":" + typeof number + "," + typeof cancel + "," + cancel + ";";
}
function p_Done(count) { doneCount = count; }

var pinger = WScript.CreateObject("VeskTest.Pinger", "p_");
check(pinger.Fire(3) === 3, "three pings raised");
check(heard === "1:number,boolean,false;2:number,boolean,false;3:number,boolean,false;",
      "p_Ping called for each ping with number and cancel in order (heard " + heard + ")");
check(doneCount === 3, "p_Done called with the count (got " + doneCount + ")");
WScript.DisconnectObject(pinger);

// Prefixes are matched as JScript names are: with their case.
heard = "";
WScript.ConnectObject(pinger, "P_");
check(pinger.Connections === 1 && pinger.Fire(1) === 1 && heard === "", "P_Ping is not p_Ping in JScript");
finish();
