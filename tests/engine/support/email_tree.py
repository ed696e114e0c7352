#!/usr/bin/env python3
"""Prints the part tree of MIME messages as Python's standard email package
sees it, for the differential test of the engine's reader.

Usage: email_tree.py FILE...

For each file: a line "== FILE", then one line per part in the order of
Message.walk(), with tab-separated fields:
    content type, disposition ("-" if none), file name ("-" if none),
    and for leaves the length and FNV-1a 64 hash of the decoded content
    (CRs dropped unless the part is base64), then the same for the content
    with one LF added; containers print "-" for these.
"""

import email
import email.policy
import sys

FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3


def fnv1a(data: bytes) -> str:
    h = FNV_OFFSET
    for b in data:
        h ^= b
        h = (h * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def describe(part) -> str:
    ctype = part.get_content_type()
    disposition = part.get_content_disposition() or "-"
    filename = part.get_filename() or "-"
    if part.is_multipart():
        content = "-\t-\t-\t-"
    else:
        data = part.get_payload(decode=True) or b""
        if part.get("Content-Transfer-Encoding", "").strip().lower() != "base64":
            data = data.replace(b"\r", b"")
        content = "%d\t%s\t%d\t%s" % (len(data), fnv1a(data), len(data) + 1, fnv1a(data + b"\n"))
    return "\t".join([ctype, disposition, filename.replace("\t", " "), content])


def main(paths):
    for path in paths:
        with open(path, "rb") as f:
            message = email.message_from_binary_file(f, policy=email.policy.compat32)
        print("== " + path)
        for part in message.walk():
            print(describe(part))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
