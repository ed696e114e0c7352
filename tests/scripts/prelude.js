// Put by tools/run_scripts.sh in front of every JScript scenario that names
// this file in its first line. check counts a failure; finish prints the
// success marker the runner looks for, or ends with exit code 1.
var failures = 0;
var shell = new ActiveXObject("WScript.Shell");
var fso = new ActiveXObject("Scripting.FileSystemObject");
function check(condition, what) {
  if (!condition) { WScript.Echo("FAIL: " + what); failures++; }
}
function finish() {
  if (failures === 0) { WScript.Echo("SCRIPT PASSED"); WScript.Quit(0); }
  WScript.Quit(1);
}
// (Wine's ExpandEnvironmentStrings counts the terminating NUL into the text.)
function env(name) { return shell.ExpandEnvironmentStrings("%" + name + "%").replace(/\0/g, ""); }
function port(name) { return parseInt(env(name), 10); }
// A folder of its own under the temporary folder, made empty.
function scratchFolder(name) {
  var path = fso.BuildPath(fso.GetSpecialFolder(2).Path, name);
  if (fso.FolderExists(path)) fso.DeleteFolder(path, true);
  fso.CreateFolder(path);
  return path;
}
function readAll(path) {
  if (!fso.FileExists(path)) return "";
  var stream = fso.OpenTextFile(path, 1), text = stream.AtEndOfStream ? "" : stream.ReadAll();
  stream.Close();
  return text;
}
// The description of the error `action` raises; empty when it succeeds.
function failureOf(action) {
  try { action(); return ""; } catch (e) { return e.description; }
}
// A message in the Unicode mode from one address to several.
function message(from, recipients, subject, text) {
  var m = new ActiveXObject("VeskMail.MIMEMessage");
  m.Charset = "utf-8";
  m.From.Address = from;
  for (var i = 0; i < recipients.length; i++) m.To.Add().Address = recipients[i];
  m.Subject = subject;
  m.Text = text;
  return m;
}
function vbArray(value) { return new VBArray(value).toArray(); }
