#!/usr/bin/env bash
# The cost a caller pays per message through veskmail.dll, against the
# engine: builds the x64 DLL (win64 preset) and the benchmarks (bench preset,
# which cross-builds bench_automation.exe), starts the loopback servers,
# registers the DLL in the x64 prefix, runs the compiled client (vtable and
# IDispatch) and then the VBScript driver with the engine's figures, so that
# every line says its ratio to the engine.
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
"$WINE" "$client" "$@" | tr -d '\r' | tee "$log"
engine=$(grep '^engine-ms' "$log" || true)
rm -f "$log"
arguments=()
for pair in ${engine#engine-ms}; do arguments+=("/engine-${pair%%=*}:${pair#*=}"); done
# The VBScript driver sends and retrieves: it runs unless /only: leaves those out.
if ! grep -q '/only:' <<<"$*" || grep -q '/only:.*\(send\|retrieve\|top\)' <<<"$*"; then
  run_script "$ROOT/bench/scripts/smtp_pop3_1000.vbs" "VBScript RetrieveTop.*" \
    "/smtp:$VESK_SMTP_PORT" "/pop3:$VESK_POP3_PORT" "${arguments[@]}"
fi
