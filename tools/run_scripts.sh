#!/usr/bin/env bash
# Runs every .vbs and .js file of a folder with our script host under Wine
# (VESK_ARCH x64 or x86, default x64). A script passes when the host exits 0
# and its output ends with the line "SCRIPT PASSED"; a script that stops on an
# error fails with the host's report of it (file, line, number, description).
# Exits non-zero when any script failed.
source "$(dirname "$0")/common.sh"
folder=$(realpath "${1:-$ROOT/tests/scripts}")
passed=0
failures=0
for script in "$folder"/*.vbs "$folder"/*.js; do
  [ -f "$script" ] || continue
  output=$(run_script "$script" "SCRIPT PASSED" 2>&1) && status=0 || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    echo "FAILED: $(basename "$script") (exit $status)" >&2
    printf '%s\n' "$output" | tr -d '\r' | sed 's/^/    /' >&2
  fi
done
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
