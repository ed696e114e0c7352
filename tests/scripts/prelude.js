// Put by tools/run_scripts.sh in front of every JScript scenario that names
// this file in its first line. check counts a failure; finish prints the
// success marker the runner looks for, or ends with exit code 1.
var failures = 0;
function check(condition, what) {
  if (!condition) { WScript.Echo("FAIL: " + what); failures++; }
}
function finish() {
  if (failures === 0) { WScript.Echo("SCRIPT PASSED"); WScript.Quit(0); }
  WScript.Quit(1);
}
