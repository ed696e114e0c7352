# Makes a type library written by widl the same on every build of the same
# IDL file: widl stamps it with the time it ran, once as text ("Created by
# WIDL version N at <ctime>") and once as a 32-bit number. Both become the
# start of 1970. widl must run with TZ=UTC, so that the text is UTC.
#   python3 reproducible_tlb.py FILE.tlb
import calendar
import os
import re
import struct
import sys
import time

path = sys.argv[1]
with open(path, "rb") as f:
    data = f.read()
match = re.search(rb"Created by WIDL version \S+ at (\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})", data)
if match:
    ran = calendar.timegm(time.strptime(match.group(1).decode(), "%a %b %d %H:%M:%S %Y"))
    fixed = b"Thu Jan  1 00:00:00 1970"
    data = data[: match.start(1)] + fixed + data[match.end(1) :]
    # The number is a VT_UI4 (19) custom value; it may be a second off the text.
    for stamp in (ran, ran - 1, ran + 1):
        data = data.replace(b"\x13\x00" + struct.pack("<I", stamp), b"\x13\x00" + struct.pack("<I", 0))
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)
