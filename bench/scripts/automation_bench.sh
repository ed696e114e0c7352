#!/usr/bin/env bash
# The cost a caller pays per message through veskmail.dll, against the
# engine: builds the x64 DLL (win64 preset) and the benchmarks (bench preset,
# which cross-builds bench_automation.exe), starts the loopback servers,
# registers the DLL in the x64 prefix, runs the compiled client (vtable and
# IDispatch) and then the VBScript driver with the engine's figures, so that
# every line says its ratio to the engine. The sends are also set beside
# Python's smtplib sending the same text to the same server
# (bench/smtplib_rounds.py, three runs after the client's), as sends per
# second and as a ratio of times.
# Then the peers' comparison (/only:peers runs only it): on the same servers,
# N (1,000) sends from VBScript beside smtplib sending the same text (in the
# plain HELO dialogue the object has by default, and with UseExtensions: EHLO
# as smtplib says it, and PIPELINING, which Postfix lists), and the
# N messages in the mailbox retrieved over POP3 and fetched over IMAP4 from
# VBScript beside curl (one invocation given the N URLs, which reuses one
# connection), each timed from connecting to disconnecting
# (bench/scripts/automation_peers.vbs). The rounds alternate between the DLL
# and its peer; the medians of the rounds (3) are set side by side as a ratio
# of times, with the median of the rounds' own ratios after it, e.g.
# "POP3 retrieve x1000 (median of 3): VBScript 516 ms, curl 216 ms: 2.38x curl's time (rounds: 2.42x)".
#   bench/scripts/automation_bench.sh [/reps:N] [/messages:N] [/only:send,retrieve,top,raw,attachments,peers]
# /reps:N is the repetitions of every task (the rounds of the peers'
# comparison), /messages:N the messages per round of that comparison.
# Ports as for the tests (VESK_SMTP_PORT, VESK_POP3_PORT, ...).
# VESK_BENCH_NO_BUILD=1 skips the two builds.
source "$(dirname "$0")/../../tools/common.sh"
use_arch x64
if [ "${VESK_BENCH_NO_BUILD:-0}" != 1 ]; then
  build_preset win64
  build_preset bench
fi
"$ROOT/tools/mailservers.sh" start
eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/export /')"
prepare_wine

# The arguments for bench_automation.exe, and whether the peers' comparison runs.
client_arguments=()
peers=1
rounds=3
messages=1000
only=""
for argument in "$@"; do
  case $argument in
    /messages:*) messages=${argument#/messages:} ;;
    /reps:*) rounds=${argument#/reps:}; client_arguments+=("$argument") ;;
    /only:*) only=${argument#/only:}; client_arguments+=("$argument") ;;
    *) client_arguments+=("$argument") ;;
  esac
done
[ -z "$only" ] || grep -q '\(^\|,\)peers\(,\|$\)' <<<"$only" || peers=0
only_peers=0
[ -z "$only" ] || [ -n "$(tr ',' '\n' <<<"$only" | grep -v '^peers$' || true)" ] || only_peers=1

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now_ms() { date +%s%N | awk '{ printf "%.1f", $1 / 1000000 }'; }

# The peers' comparison (see the top of this file).
compare_with_peers() {
  local scratch script vbs_send="" vbs_ehlo="" smtplib="" vbs_pop3="" curl_pop3="" vbs_imap="" curl_imap="" out round started
  scratch=$(mktemp -d)
  script="$ROOT/bench/scripts/automation_peers.vbs"
  {
    printf 'user = "%s:%s"\n' "$VESK_MAIL_USER" "$VESK_MAIL_PASSWORD"
    for ((i = 1; i <= messages; i++)); do
      printf 'url = "pop3://127.0.0.1:%s/%d"\noutput = "/dev/null"\n' "$VESK_POP3_PORT" "$i"
    done
  } >"$scratch/pop3.conf"
  {
    printf 'user = "%s:%s"\n' "$VESK_MAIL_USER" "$VESK_MAIL_PASSWORD"
    for ((i = 1; i <= messages; i++)); do
      printf 'url = "imap://127.0.0.1:%s/INBOX;MAILINDEX=%d"\noutput = "/dev/null"\n' "$VESK_IMAP_PORT" "$i"
    done
  } >"$scratch/imap.conf"
  vbs() {
    run_script "$script" "(send|imap)-ms [0-9.]+" "/smtp:$VESK_SMTP_PORT" "/pop3:$VESK_POP3_PORT" \
      "/imap:$VESK_IMAP_PORT" "/reps:$messages" "$@" | tr -d '\r'
  }
  curl_ms() {
    started=$(now_ms)
    curl --silent --show-error --fail --config "$1" || { echo "curl failed ($1)" >&2; return 1; }
    awk -v a="$started" -v b="$(now_ms)" 'BEGIN { printf "%.1f", b - a }'
  }
  for ((round = 1; round <= rounds; round++)); do
    # The sends first: the mailbox then holds the messages to retrieve.
    out=$(vbs /task:send "/save:$(winpath "$scratch")\\message.eml") || return 1
    vbs_send+=" $(sed -n 's/^send-ms //p' <<<"$out")"
    out=$(vbs /task:send /extensions:1) || return 1
    vbs_ehlo+=" $(sed -n 's/^send-ms //p' <<<"$out")"
    out=$(python3 "$ROOT/bench/smtplib_rounds.py" 127.0.0.1 "$VESK_SMTP_PORT" "$VESK_POP3_PORT" "$VESK_MAIL_USER" \
      "$VESK_MAIL_PASSWORD" bench@example.com "$VESK_MAIL_ADDRESS" "$scratch/message.eml" "$messages" 1) || return 1
    smtplib+=" ${out#smtplib-ms }"
    # Untimed, once: Dovecot indexes the new messages (and reads their
    # sizes) at the first session that sees them, and the files come into
    # the page cache, for the DLL and for curl alike.
    curl --silent --show-error --fail --config "$scratch/pop3.conf" && curl --silent --show-error --fail \
      --config "$scratch/imap.conf" || return 1
    out=$(vbs /task:retrieve) || return 1
    vbs_pop3+=" $(sed -n 's/^pop3-ms //p' <<<"$out")"
    vbs_imap+=" $(sed -n 's/^imap-ms //p' <<<"$out")"
    curl_pop3+=" $(curl_ms "$scratch/pop3.conf")" || return 1
    curl_imap+=" $(curl_ms "$scratch/imap.conf")" || return 1
    echo "round $round (ms): sends VBScript ${vbs_send##* } (EHLO ${vbs_ehlo##* }) smtplib ${smtplib##* }," \
      "POP3 VBScript ${vbs_pop3##* } curl ${curl_pop3##* }, IMAP4 VBScript ${vbs_imap##* } curl ${curl_imap##* }"
  done
  rm -rf "$scratch"
  # The ratio of the medians, and beside it the median of the rounds' own
  # ratios (each round's two runs follow each other, so a change of load
  # between rounds moves both).
  side_by_side() {
    local ratios
    ratios=$(paste -d' ' <(tr ' ' '\n' <<<"$2" | grep -v '^$') <(tr ' ' '\n' <<<"$4" | grep -v '^$') |
      awk '{ printf " %.4f", $1 / $2 }' | median)
    awk -v what="$1" -v ours="$(median <<<"$2")" -v peer="$(median <<<"$4")" -v name="$3" -v n="$messages" -v r="$rounds" \
      -v ratios="$ratios" 'BEGIN { printf "%s x%d (median of %d): VBScript %.0f ms, %s %.0f ms: %.2fx %s'"'"'s time (rounds: %.2fx)\n", what, n, r, ours, name, peer, ours / peer, name, ratios }'
  }
  side_by_side "Send" "$vbs_send" smtplib "$smtplib"
  side_by_side "Send, UseExtensions" "$vbs_ehlo" smtplib "$smtplib"
  side_by_side "POP3 retrieve" "$vbs_pop3" curl "$curl_pop3"
  side_by_side "IMAP4 fetch" "$vbs_imap" curl "$curl_imap"
}

if [ "$only_peers" = 1 ]; then
  compare_with_peers
  exit
fi

client="$BUILD/bench/bench/automation-win64/bin/bench_automation.exe"
# (Not tee /dev/stderr: that opens stderr anew and, when it is a file,
# writes over what is there.)
log=$(mktemp)
message="$BUILD/bench/smtplib-message.eml"
rm -f "$message"
VESK_BENCH_SMTPLIB_MESSAGE=$(winpath "$(dirname "$message")")\\$(basename "$message") \
  "$WINE" "$client" "${client_arguments[@]}" | tr -d '\r' | tee "$log"
engine=$(grep '^engine-ms' "$log" || true)
sends=$(grep '^send-ms' "$log" || true)
rm -f "$log"
# Python's smtplib on the same server with the same text, timed the same way,
# and the DLL's sends per second beside it.
if [ -n "$sends" ] && [ -s "$message" ]; then
  smtplib=$(python3 "$ROOT/bench/smtplib_rounds.py" 127.0.0.1 "$VESK_SMTP_PORT" "$VESK_POP3_PORT" "$VESK_MAIL_USER" \
    "$VESK_MAIL_PASSWORD" bench@example.com "$VESK_MAIL_ADDRESS" "$message" 1000 3)
  smtplib=${smtplib#smtplib-ms }
  printf 'Send x1000 against smtplib (%.0f msg/s):' "$(awk -v ms="$smtplib" 'BEGIN { print 1000000 / ms }')"
  for pair in ${sends#send-ms}; do
    awk -v name="${pair%%=*}" -v ms="${pair#*=}" -v peer="$smtplib" \
      'BEGIN { printf "  %s %.0f msg/s (%.2fx smtplib'"'"'s time)", name, 1000000 / ms, ms / peer }'
  done
  echo
fi
arguments=()
for pair in ${engine#engine-ms}; do arguments+=("/engine-${pair%%=*}:${pair#*=}"); done
# The VBScript driver sends and retrieves: it runs unless /only: leaves those out.
if [ -z "$only" ] || grep -q 'send\|retrieve\|top' <<<"$only"; then
  run_script "$ROOT/bench/scripts/smtp_pop3_1000.vbs" "VBScript RetrieveTop.*" \
    "/smtp:$VESK_SMTP_PORT" "/pop3:$VESK_POP3_PORT" "${arguments[@]}"
fi
[ "$peers" = 0 ] || compare_with_peers
