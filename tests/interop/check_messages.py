#!/usr/bin/env python3
"""Reads the messages make_messages.vbs and make_international.js saved with
Python's email package and checks that every part has the content type, file
name and decoded bytes, and every header field the text, the scripts put in."""
import email
import email.policy
import json
import pathlib
import sys

from checks import STRICT, report

# The parts make_messages.vbs put in each message: content type, file name
# and decoded bytes.
PARTS = {"plain.eml": [("text/plain", None, b"first line\r\n. a period line\r\nlast\r\n")],
         "mixed.eml": [("text/plain", None, b"see the files\r\n"), ("text/csv", "table.csv", b"a,b\r\n1,2\r\n"),
                       ("application/octet-stream", 'odd "name".bin', bytes(range(256)))]}
folder = pathlib.Path(sys.argv[1])
problems = []
checked = 0
for name, expected in PARTS.items():
    message = email.message_from_bytes((folder / name).read_bytes(), policy=email.policy.compat32)
    parts = [message] if not message.is_multipart() else message.get_payload()
    got = [(part.get_content_type(), part.get_filename(), part.get_payload(decode=True) or b"") for part in parts]
    for index, (want, have) in enumerate(zip(expected, got)):
        # Plain text decodes with the line ends of the wire; the component keeps LF.
        if have[:2] != want[:2] or have[2].replace(b"\r\n", b"\n") != want[2].replace(b"\r\n", b"\n"):
            problems.append(f"{name}[{index}]: {have!r} != {want!r}")
    if len(got) != len(expected):
        problems.append(f"{name}: {len(got)} parts, not {len(expected)}")
    checked += len(expected)
# Messages of make_international.js: every field as the script set it.
for line in (folder / "expect.txt").read_text(encoding="ascii").splitlines():
    name, subject, sender, to, text, file_name, html = (json.loads(f'"{field}"') for field in line.split("|"))
    try:
        message = email.message_from_bytes((folder / name).read_bytes(), policy=STRICT)
        got = [str(message["Subject"]), message["From"].addresses[0].display_name, message["To"].addresses[0].display_name,
               message.get_body(("plain",)).get_content().replace("\r", ""),
               next(message.iter_attachments()).get_filename(), message.get_body(("html",)).get_content() if html else ""]
        for field, value, want in zip("subject from to text filename html".split(), got, [subject, sender, to, text, file_name, html]):
            if not value.startswith(want) or (field != "html" and value != want):
                problems.append(f"{name}: {field} {value!r} != {want!r}")
        if any(len(line) > 78 for line in (folder / name).read_bytes().split(b"\r\n")):
            problems.append(f"{name}: a line longer than 78 characters")
    except Exception as error:  # a defect under the strict policy
        problems.append(f"{name}: {error!r}")
    checked += 1
report(problems, checked)
