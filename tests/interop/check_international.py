#!/usr/bin/env python3
"""Reads the mail tests/scripts/servers/smtp_extensions.js delivered to the
international mailbox with Python's strict parser (header fields in UTF-8 as
RFC 6532 allows), checks the addresses it carries and the text that went as
8bit, and removes it.
    check_international.py MAILDIR"""
import email
import email.policy
import pathlib
import sys

strict = email.policy.default.clone(raise_on_defect=True)
want_to = {"f\u00fcr J\u00f6rg": "j\u00f6rg@m\u00fcller.example", "A-label": "post@m\u00fcller.example",
           "invoice 4711": "vesk-intl@localhost", "partial": "vesk-intl@localhost",
           "ANSI blind copy": "vesk-dsn@localhost"}
maildir = pathlib.Path(sys.argv[1])
files = sorted(p for d in ("new", "cur") for p in (maildir / d).glob("*"))
passed = failed = 0
seen = set()
for path in files:
    try:
        data = path.read_bytes()
        # Header fields in UTF-8 are read from the text; an 8bit body is
        # decoded from the bytes in the charset it names.
        message = email.message_from_string(data.decode("utf-8"), policy=strict)
        subject = str(message["subject"])
        to = message["to"].addresses[0].addr_spec
        if want_to.get(subject) != to:
            raise ValueError(f"subject {subject!r} with To {to!r}")
        if subject == "f\u00fcr J\u00f6rg":
            # Sent to a server that takes 8BITMIME: the text went as it is.
            body = email.message_from_bytes(data, policy=strict)
            encoding, text = body["content-transfer-encoding"], body.get_content()
            if encoding != "8bit" or text.replace("\r\n", "\n") != "Gr\u00fc\u00dfe\n":
                raise ValueError(f"text {text!r} in {encoding!r}")
        seen.add(subject)
        print(f"ok: {path.name}: {subject} to {to}")
        passed += 1
    except Exception as error:  # every kind of failure counts against the file
        print(f"FAIL: {path.name}: {type(error).__name__}: {error}")
        failed += 1
    path.unlink()
for subject in sorted(set(want_to) - seen):
    print(f"FAIL: not delivered: {subject}")
    failed += 1
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
