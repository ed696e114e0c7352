#!/usr/bin/env python3
"""Reads the copies of pop3_roundtrip.vbs's message that Postfix delivered
into a Maildir with Python's strict parser, checks the header text, file
names and bytes the script set, and removes them.
    check_delivered.py MAILDIR"""
import email
import email.policy
import pathlib
import sys
import time



def script_byte(i):
    """The byte the script's Chr(i) gives: a character of code page 1252, of
    which the test component keeps the low byte."""
    try:
        return ord(bytes([i]).decode("cp1252")) & 0xFF
    except UnicodeDecodeError:
        return i


strict = email.policy.default.clone(raise_on_defect=True)
want = {"subject": "Round trip \u00fcber K\u00f6ln", "from": "M\u00fcller, J\u00f6rg",
        "files": ["lines.txt", "b\u00fctes.bin"], "bytes": bytes(script_byte(i) for i in range(256))}
maildir = pathlib.Path(sys.argv[1])
for _ in range(20):  # delivery to this mailbox may trail the one the script read
    files = sorted(p for d in ("new", "cur") for p in (maildir / d).glob("*"))
    if files:
        break
    time.sleep(0.5)
passed = failed = 0
for path in files:
    try:
        message = email.message_from_bytes(path.read_bytes(), policy=strict)
        attachments = list(message.iter_attachments())
        got = {"subject": str(message["subject"]), "from": message["from"].addresses[0].display_name,
               "files": [a.get_filename() for a in attachments],
               "bytes": attachments[-1].get_payload(decode=True) if attachments else None}
        wrong = [f"{key}: {got[key]!r} != {value!r}" for key, value in want.items() if got[key] != value]
    except Exception as error:  # a defect the strict policy raises
        wrong = [f"{type(error).__name__}: {error}"]
    for line in wrong:
        print(f"{path.name}: {line}")
    passed, failed = passed + (not wrong), failed + bool(wrong)
    path.unlink()
if not files:
    print("no delivered copy found")
    failed = 1
print(f"{passed} passed, {failed} failed")
