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
#   bench/scripts/automation_bench.sh [bench_automation arguments: /reps:N /only:send,retrieve,top,raw,attachments]
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

client="$BUILD/bench/bench/automation-win64/bin/bench_automation.exe"
# (Not tee /dev/stderr: that opens stderr anew and, when it is a file,
# writes over what is there.)
log=$(mktemp)
message="$BUILD/bench/smtplib-message.eml"
rm -f "$message"
VESK_BENCH_SMTPLIB_MESSAGE=$(winpath "$(dirname "$message")")\\$(basename "$message") \
  "$WINE" "$client" "$@" | tr -d '\r' | tee "$log"
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
if ! grep -q '/only:' <<<"$*" || grep -q '/only:.*\(send\|retrieve\|top\)' <<<"$*"; then
  run_script "$ROOT/bench/scripts/smtp_pop3_1000.vbs" "VBScript RetrieveTop.*" \
    "/smtp:$VESK_SMTP_PORT" "/pop3:$VESK_POP3_PORT" "${arguments[@]}"
fi
