#!/usr/bin/python3
"""Replaces what wixl stamps into a package from the clock and from chance.

    fix_msi_stamps.py MSI PACKAGE_CODE EPOCH

wixl writes the time it ran as the package's creation and last-saved times
and a random package code (the summary information's revision number).
This sets the two times to EPOCH (seconds since 1970) and the package code
to PACKAGE_CODE, in place: the summary information stream keeps its size,
so nothing else in the file moves. Needs Debian's python3-olefile (hence
/usr/bin/python3).
"""
import struct
import sys
import uuid

import olefile

STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def main():
    path, package_code, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    code = ("{" + str(uuid.UUID(package_code)).upper() + "}").encode("ascii")
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10_000_000)
    ole = olefile.OleFileIO(path, write_mode=True)
    data = bytearray(ole.openstream(STREAM).read())
    # Property set: a 28-byte header, then one (format id, offset) pair per
    # section; the summary information has one section.
    section = struct.unpack_from("<I", data, 28 + 16)[0]
    count = struct.unpack_from("<I", data, section + 4)[0]
    done = set()
    for index in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * index)
        at = section + offset
        kind = struct.unpack_from("<I", data, at)[0]
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            length = struct.unpack_from("<I", data, at + 4)[0]
            old = bytes(data[at + 8:at + 8 + length]).rstrip(b"\0")
            if len(old) != len(code):
                sys.exit(f"{path}: the package code {old!r} is not a braced GUID")
            data[at + 8:at + 8 + len(code)] = code
            done.add(pid)
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            data[at + 4:at + 12] = filetime
            done.add(pid)
    if done != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        sys.exit(f"{path}: the summary information lacks the package code or a time")
    ole.write_stream(STREAM, bytes(data))
    ole.close()


if __name__ == "__main__":
    main()
