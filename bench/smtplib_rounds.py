#!/usr/bin/env python3
"""Python's smtplib timed the way bench_automation times the DLL: ROUNDS
runs, each after the mailbox was emptied (POP3) and before the server's
delivery is waited for, of COUNT sends of FILE in one session (EHLO, then
MAIL, RCPT, DATA per message). Prints the median run in milliseconds.
    smtplib_rounds.py HOST SMTP_PORT POP3_PORT USER PASSWORD SENDER RECIPIENT FILE COUNT ROUNDS"""
import poplib
import smtplib
import statistics
import sys
import time

host, smtp_port, pop3_port, user, password, sender, recipient, path, count, rounds = sys.argv[1:11]
message = open(path, "rb").read()


def mailbox_count(delete=False):
    box = poplib.POP3(host, int(pop3_port))
    box.user(user)
    box.pass_(password)
    n = box.stat()[0]
    if delete:
        for i in range(1, n + 1):
            box.dele(i)
    box.quit()
    return n


def wait_for(n):
    deadline = time.monotonic() + 120
    while mailbox_count() != n:
        if time.monotonic() > deadline:
            sys.exit("the server did not deliver every message")
        time.sleep(0.1)


times = []
for _ in range(int(rounds)):
    mailbox_count(delete=True)
    wait_for(0)
    time.sleep(0.3)  # as the DLL's runs: let the file system settle
    started = time.perf_counter()
    with smtplib.SMTP(host, int(smtp_port)) as session:
        for _ in range(int(count)):
            session.sendmail(sender, [recipient], message)
    times.append((time.perf_counter() - started) * 1000)
    wait_for(int(count))
print(f"smtplib-ms {statistics.median(times):.3f}")
