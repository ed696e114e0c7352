#!/usr/bin/env python3
"""Reads the mail that scripts against the real servers had Postfix deliver
into a Maildir with Python's strict parser, checks each message, and removes
it.
    check_maildir.py delivered MAILDIR
        copies of pop3_roundtrip.vbs's message: the header text, file names
        and bytes the script set
    check_maildir.py international MAILDIR
        what tests/scripts/servers/smtp_extensions.js sent to the
        international mailbox: header fields in UTF-8 (as RFC 6532 allows),
        the addresses they carry, and the text that went as 8bit"""
import email
import pathlib
import sys
import time

from checks import STRICT, report


def script_byte(i):
    """The byte the script's Chr(i) gives: a character of code page 1252, of
    which the test component keeps the low byte."""
    try:
        return ord(bytes([i]).decode("cp1252")) & 0xFF
    except UnicodeDecodeError:
        return i


ROUND_TRIP = {"subject": "Round trip \u00fcber K\u00f6ln", "from": "M\u00fcller, J\u00f6rg",
              "files": ["lines.txt", "b\u00fctes.bin"], "bytes": bytes(script_byte(i) for i in range(256))}
# Each subject sent to the international mailbox, and its To address.
INTERNATIONAL = {"f\u00fcr J\u00f6rg": "j\u00f6rg@m\u00fcller.example", "A-label": "post@m\u00fcller.example",
                 "invoice 4711": "vesk-intl@localhost", "partial": "vesk-intl@localhost",
                 "ANSI blind copy": "vesk-dsn@localhost"}


def delivered(data):
    """The subject of a copy of the round trip's message, and what it lacks."""
    message = email.message_from_bytes(data, policy=STRICT)
    attachments = list(message.iter_attachments())
    got = {"subject": str(message["subject"]), "from": message["from"].addresses[0].display_name,
           "files": [a.get_filename() for a in attachments],
           "bytes": attachments[-1].get_payload(decode=True) if attachments else None}
    return got["subject"], [f"{key}: {got[key]!r} != {value!r}" for key, value in ROUND_TRIP.items()
                            if got[key] != value]


def international(data):
    """Header fields in UTF-8 are read from the text; an 8bit body is decoded
    from the bytes in the charset it names."""
    message = email.message_from_string(data.decode("utf-8"), policy=STRICT)
    subject, to = str(message["subject"]), message["to"].addresses[0].addr_spec
    if INTERNATIONAL.get(subject) != to:
        return subject, [f"subject {subject!r} with To {to!r}"]
    if subject == "f\u00fcr J\u00f6rg":  # sent to a server that takes 8BITMIME: the text went as it is
        body = email.message_from_bytes(data, policy=STRICT)
        encoding, text = body["content-transfer-encoding"], body.get_content()
        if encoding != "8bit" or text.replace("\r\n", "\n") != "Gr\u00fc\u00dfe\n":
            return subject, [f"text {text!r} in {encoding!r}"]
    return subject, []


check, expected = {"delivered": (delivered, {ROUND_TRIP["subject"]}),
                   "international": (international, set(INTERNATIONAL))}[sys.argv[1]]
maildir = pathlib.Path(sys.argv[2])
for _ in range(20):  # delivery to this mailbox may trail the script that sent the mail
    files = sorted(p for d in ("new", "cur") for p in (maildir / d).glob("*"))
    if files:
        break
    time.sleep(0.5)
problems, seen = [], set()
for path in files:
    try:
        subject, wrong = check(path.read_bytes())
        seen.add(subject)
    except Exception as error:  # a defect the strict policy raises, or any other failure
        wrong = [f"{type(error).__name__}: {error}"]
    problems += [f"{path.name}: {'; '.join(wrong)}"] if wrong else []
    path.unlink()
problems += [f"not delivered: {subject}" for subject in sorted(expected - seen)]
report(problems, len(files) + len(expected - seen))
