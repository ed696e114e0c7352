#!/usr/bin/env python3
"""Python's smtplib as the peer of the send benchmarks: COUNT messages read
from FILE, one session (EHLO, then MAIL, RCPT, DATA per message; smtplib
does not pipeline), the way a script writer would send them.
    smtplib_send.py HOST PORT SENDER RECIPIENT FILE COUNT"""
import smtplib
import sys

host, port, sender, recipient, path, count = sys.argv[1:7]
message = open(path, "rb").read()
with smtplib.SMTP(host, int(port)) as session:
    for _ in range(int(count)):
        session.sendmail(sender, [recipient], message)
