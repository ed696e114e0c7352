#!/usr/bin/env bash
# Socket calls per message when sending: each sender sends COUNT (200)
# messages in one SMTP session to the loopback Postfix under strace, and every
# system call on a TCP socket (send, receive, poll, ioctl, read, write) is
# counted and divided by COUNT. Senders: the engine in the plain HELO
# dialogue, with EHLO but without PIPELINING, pipelined; Python's smtplib;
# curl (one run of COUNT uploads over one connection).
#   bench/scripts/socket_calls.sh [COUNT]
# Needs the bench preset built (build/bench/bench/bench_protocols) and the
# servers running (tools/mailservers.sh start; ports as for the tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
count=${1:-200}
eval "$("$root/tools/mailservers.sh" env | sed 's/^/export /')"
bench="$root/build/bench/bench/bench_protocols"
[[ -x $bench ]] || { echo "build the bench preset first ($bench)"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Calls on TCP sockets in an strace log written with -yy.
socket_calls() { grep -cE '<TCP:|<TCPv6:' "$1" || true; }

measure() {
  local name=$1
  shift
  strace -f -yy -qq -o "$scratch/$name.log" \
    -e trace=read,write,readv,writev,sendto,sendmsg,recvfrom,recvmsg,poll,ppoll,select,pselect6,ioctl,epoll_wait,epoll_pwait \
    "$@" >/dev/null 2>&1 || { echo "$name: the send failed"; return; }
  local calls
  calls=$(socket_calls "$scratch/$name.log")
  awk -v name="$name" -v calls="$calls" -v count="$count" \
    'BEGIN { printf "%-22s %6d socket calls for %d messages: %5.1f per message\n", name, calls, count, calls / count }'
}

python3 - "$scratch/message.eml" <<'PY'
import sys
lines = ["From: Bench <bench@vesk.test>", "To: <vesk@localhost>", "Subject: benchmark message",
         "Date: Sun, 6 Dec 2026 10:00:00 +0000", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii", ""]
lines += [("." if i == 3 else "") + f"The quick brown fox jumps over the lazy dog, line {i}." for i in range(7)]
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode())
PY
{
  printf 'mail-from = "bench@vesk.test"\nmail-rcpt = "%s"\n' "$VESK_MAIL_ADDRESS"
  for ((i = 0; i < count; i++)); do
    printf 'upload-file = "%s"\nurl = "smtp://127.0.0.1:%s"\n' "$scratch/message.eml" "$VESK_SMTP_PORT"
  done
} >"$scratch/curl.conf"

measure engine-helo "$bench" --send-only=plain "$count"
measure engine-ehlo "$bench" --send-only=extensions "$count"
measure engine-pipelined "$bench" --send-only=pipelined "$count"
measure smtplib python3 "$root/bench/smtplib_send.py" 127.0.0.1 "$VESK_SMTP_PORT" bench@vesk.test "$VESK_MAIL_ADDRESS" \
  "$scratch/message.eml" "$count"
measure curl curl --silent --show-error --fail --config "$scratch/curl.conf"
