#!/usr/bin/env python3
"""Reads messages from the wild and the same messages loaded and saved by the
component with Python's email package: each leaf must keep its content type,
file name and decoded bytes (line ends at the very end of a part aside, which
the component keeps with the content). Nobody changed these messages, so each
saved file must also be the original byte for byte, CR LF line ends aside,
unless it is one the component mends (listed with how).

Usage: check_resaved.py ORIGINALS SAVED"""
import email
import email.policy
import pathlib
import sys

from checks import report

# Messages whose saved form differs on purpose, and why.
KNOWN = {"msg_37.txt": "empty parts between adjacent delimiters are saved as parts, which Python then reads",
         "msg_14.txt": "the type text without a subtype is written as text/, which Python does not default"}


# Messages the component writes back mended, and how.
MENDED = {"msg_17.txt": "a multipart without its closing delimiter gets one",
          "msg_31.txt": "a multipart without its closing delimiter gets one",
          "msg_38.txt": "nested multiparts closed by their parent's delimiter get their own closing ones",
          "msg_19.txt": "a header that ends without an empty line gets one",
          "msg_35.txt": "a header that ends without an empty line gets one"}


def leaves(path):
    message = email.message_from_bytes(path.read_bytes(), policy=email.policy.compat32)
    out = []
    for part in message.walk():
        if part.is_multipart():
            continue
        data = (part.get_payload(decode=True) or b"").replace(b"\r\n", b"\n").rstrip(b"\n")
        out.append((part.get_content_type(), part.get_filename(), data))
    return out


originals, saved = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
problems, checked = [], 0
for original in sorted(originals.glob("msg_*.txt")):
    copy = saved / original.name
    if original.name in KNOWN:
        print(f"known: {original.name}: {KNOWN[original.name]}")
        continue
    checked += 1
    if not copy.exists():
        problems.append(f"{original.name} was not saved")
        continue
    theirs, ours = leaves(original), leaves(copy)
    as_read = copy.read_bytes().replace(b"\r\n", b"\n") == original.read_bytes().replace(b"\r\n", b"\n")
    if original.name in MENDED:
        print(f"mended: {original.name}: {MENDED[original.name]}")
    elif not as_read and theirs == ours:
        problems.append(f"{original.name} was not written back as it was read")
    if theirs != ours:  # the first leaf that differs, or the counts
        before, after = next(((b, a) for b, a in zip(theirs, ours) if b != a), (None, None))
        problems.append(f"{original.name}: {len(theirs)} parts read, {len(ours)} after saving" + (
            f"; {before[0]} {before[1]!r} {len(before[2])} bytes -> {after[0]} {after[1]!r} {len(after[2])} bytes"
            if before else ""))
report(problems, checked)
