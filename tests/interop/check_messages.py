#!/usr/bin/env python3
"""Reads the messages make_messages.vbs saved with Python's email package and
checks that every part has the content type, file name and decoded bytes the
component put in (the manifest lists them)."""
import email
import email.policy
import json
import pathlib
import sys

from checks import STRICT, report

folder = pathlib.Path(sys.argv[1])
problems = []
checked = 0
for line in (folder / "manifest.txt").read_text(encoding="latin-1").splitlines():
    name, index, content_type, file_name, content_hex = line.split("|")
    expected = bytes.fromhex(content_hex)
    message = email.message_from_bytes((folder / name).read_bytes(), policy=email.policy.compat32)
    parts = [message] if not message.is_multipart() else message.get_payload()
    part = parts[int(index)]
    got = part.get_payload(decode=True) or b""
    if content_type not in ("/", "") and part.get_content_type() != content_type.lower():
        problems.append(f"{name}[{index}]: type {part.get_content_type()} != {content_type}")
    if (part.get_filename() or "") != file_name:
        problems.append(f"{name}[{index}]: file name {part.get_filename()!r} != {file_name!r}")
    # Plain text decodes with the line ends of the wire; the component keeps LF.
    if got.replace(b"\r\n", b"\n") != expected.replace(b"\r\n", b"\n"):
        problems.append(f"{name}[{index}]: content {got!r} != {expected!r}")
    checked += 1
# Header text outside ASCII arrives as encoded-words that a strict reader
# decodes to what the script set.
international = email.message_from_bytes((folder / "international.eml").read_bytes(), policy=STRICT)
if str(international["Subject"]) != "Grüße aus Köln, € 5":
    problems.append(f"international.eml: Subject {str(international['Subject'])!r}")
if any(len(line) > 78 for line in (folder / "international.eml").read_bytes().split(b"\r\n")):
    problems.append("international.eml: a line longer than 78 characters")
checked += 1

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
