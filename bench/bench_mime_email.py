#!/usr/bin/env python3
"""Times Python's email package on the messages in a folder (every file is one
message): reading with decoding of every leaf, and rendering. Prints the best
of three runs of each, in seconds, as "parse render"."""

import email
import email.policy
import os
import sys
import time


def parse_all(blobs):
    messages = []
    for blob in blobs:
        message = email.message_from_bytes(blob, policy=email.policy.compat32)
        for part in message.walk():
            if not part.is_multipart():
                part.get_payload(decode=True)
        messages.append(message)
    return messages


def render_all(messages):
    return sum(len(message.as_bytes()) for message in messages)


def best_of(runs, action):
    best = None
    for _ in range(runs):
        start = time.process_time()
        action()
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main(folder):
    names = sorted(os.listdir(folder))
    blobs = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            blobs.append(f.read())
    parse = best_of(3, lambda: parse_all(blobs))
    messages = parse_all(blobs)
    render = best_of(3, lambda: render_all(messages))
    print("%.6f %.6f" % (parse, render))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
