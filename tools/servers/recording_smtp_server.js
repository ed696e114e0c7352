// A recording SMTP server without extensions, for the client's tests: npm's
// smtp-server with PIPELINING, SIZE, 8BITMIME, SMTPUTF8, DSN, STARTTLS and
// AUTH switched off. It takes every message, refuses any recipient whose
// local part is "nobody" (550), and appends one JSON line per transaction
// (sender, recipients, MAIL and RCPT parameters, size) to the log file.
//   node recording_smtp_server.js PORT LOGFILE   (smtp-server found via NODE_PATH)
"use strict";
const fs = require("fs");
const { SMTPServer } = require("smtp-server");

const [port, logFile] = [Number(process.argv[2]), process.argv[3]];
const server = new SMTPServer({
  name: "plain.vesk.test",
  disabledCommands: ["AUTH", "STARTTLS"],
  hidePIPELINING: true,
  hide8BITMIME: true,
  hideSMTPUTF8: true,
  hideDSN: true,
  hideENHANCEDSTATUSCODES: true,
  hideSTARTTLS: true,
  logger: false,
  onMailFrom(address, session, callback) { callback(); },
  onRcptTo(address, session, callback) {
    if (address.address.split("@")[0] === "nobody") {
      const error = new Error("no such mailbox here");
      error.responseCode = 550;
      return callback(error);
    }
    callback();
  },
  onData(stream, session, callback) {
    let size = 0;
    stream.on("data", (chunk) => { size += chunk.length; });
    stream.on("end", () => {
      fs.appendFileSync(logFile, JSON.stringify({
        from: session.envelope.mailFrom.address,
        mailArgs: session.envelope.mailFrom.args || {},
        to: session.envelope.rcptTo.map((r) => r.address),
        rcptArgs: session.envelope.rcptTo.map((r) => r.args || {}),
        size,
      }) + "\n");
      callback(null, "queued");
    });
  },
});
server.on("error", (error) => { console.error(error.message); });
server.listen(port, "127.0.0.1");
