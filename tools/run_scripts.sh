#!/usr/bin/env bash
# Runs every .vbs and .js file of a folder with cscript under Wine. A script
# passes when it exits 0 and its output ends with the line "SCRIPT PASSED":
# Wine's cscript exits 0 even after a run-time error, so the marker is what
# tells a finished script from one that stopped half-way.
source "$(dirname "$0")/common.sh"
folder=$(realpath "${1:-$ROOT/tests/scripts}")
passed=0
failures=0
for script in "$folder"/*.vbs "$folder"/*.js; do
  [ -f "$script" ] || continue
  output=$(cd "$(dirname "$script")" && timeout 300 "$WINE" cscript //nologo "$(winpath "$script")" 2>&1) && status=0 || status=$?
  if [ "$status" -eq 0 ] && [ "$(printf '%s\n' "$output" | tr -d '\r' | grep -v '^$' | tail -1)" = "SCRIPT PASSED" ]; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    echo "FAILED: $(basename "$script") (exit $status)" >&2
    printf '%s\n' "$output" | tr -d '\r' | sed 's/^/    /' >&2
  fi
done
echo "$passed passed, $failures failed"
