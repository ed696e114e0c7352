// Runs after tests/scripts/prelude.js, which tools/run_scripts.sh puts in front.
// File paths keep every character in both modes of a message: Attach,
// AddRelated, Save and Load with accented, Cyrillic and Greek names; the
// attached files keep their names; a body's Save writes to such a path; and
// every failure names the file in its description.
var base = scratchFolder("vesk-paths-\u00e9\u0436");
var names = ["caf\u00e9.txt", "\u041f\u0440\u0438\u0432\u0435\u0442.txt", "\u03b1\u03b2\u03b3.png"];
for (var i = 0; i < names.length; i++) {
  var stream = fso.CreateTextFile(fso.BuildPath(base, names[i]), true);
  stream.Write("content of file " + i);
  stream.Close();
}

var modes = ["", "utf-8"];
for (var m = 0; m < modes.length; m++) {
  var mode = modes[m];
  var message = new ActiveXObject("VeskMail.MIMEMessage");
  message.Charset = mode;
  message.Text = "files";
  message.Attach(fso.BuildPath(base, names[0]));
  message.Attach(fso.BuildPath(base, names[1]));
  message.HTMLText = "<p>pictures</p>";
  var id = message.AddRelated(fso.BuildPath(base, names[2]));
  check(id !== "", "[" + mode + "] AddRelated gives a Content-ID");
  check(message.Attachments.Count === 2, "[" + mode + "] two attachments");
  for (var a = 1; a <= 2; a++) {
    check(message.Attachments(a).FileName === names[a - 1],
          "[" + mode + "] attachment " + a + " is named " + message.Attachments(a).FileName);
    check(message.Attachments(a).SimpleContent === "content of file " + (a - 1), "[" + mode + "] attachment " + a + " bytes");
  }
  var saved = fso.BuildPath(base, "\u00dcn\u00efc\u00f6d\u00e9 " + m + " \u0436.eml");
  message.Save(saved);
  check(fso.FileExists(saved), "[" + mode + "] Save wrote the file under its own name");
  var loaded = new ActiveXObject("VeskMail.MIMEMessage");
  loaded.Charset = mode;
  loaded.Load(saved);
  check(loaded.Attachments.Count === 2 && loaded.Attachments(2).FileName === names[1],
        "[" + mode + "] loaded back with the Cyrillic file name: " + loaded.Attachments(2).FileName);
  var copy = fso.BuildPath(base, "\u043a\u043e\u043f\u0438\u044f " + m + ".txt");
  loaded.Attachments(2).Save(copy);
  check(fso.FileExists(copy) && fso.OpenTextFile(copy).ReadAll() === "content of file 1",
        "[" + mode + "] an attachment saved to a Cyrillic path");

  // Failures name the file, with all its characters.
  var missing = fso.BuildPath(base, "n\u00e9ant \u0436.txt");
  var attempts = [function () { message.Attach(missing); }, function () { message.Load(missing); },
    function () { message.Save(fso.BuildPath(missing, "x.eml")); }, function () { message.AddRelated(missing); },
    function () { loaded.Attachments(1).Save(fso.BuildPath(missing, "x.txt")); },
    function () { loaded.Attachments(1).LoadFile(missing); }];
  for (var k = 0; k < attempts.length; k++) {
    var error = failureOf(attempts[k]);
    check(error.indexOf("n\u00e9ant \u0436.txt") >= 0, "[" + mode + "] failure " + k + " names the file: " + error);
  }
}

try { fso.DeleteFolder(base, true); } catch (e) {}
finish();
