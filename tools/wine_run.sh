#!/usr/bin/env bash
# Runs a Windows program under Wine and passes on what it prints:
#   tools/wine_run.sh [--if-silent] LOADER PROGRAM [ARGUMENTS...]
# Wine now and then fails to start a program while the prefix's server is
# still going down. When the program fails, the server is waited for and the
# program is run once more; with --if-silent only when the failed run printed
# nothing on its standard output, the sign that it never started (for a test
# program, which always prints when it runs, a real failure is not repeated).
# When the last run fails too, a line names the program and its exit status,
# after everything it printed.
set -uo pipefail
only_if_silent=0
if [ "${1:-}" = --if-silent ]; then
  only_if_silent=1
  shift
fi
[ $# -ge 2 ] || { echo "usage: wine_run.sh [--if-silent] LOADER PROGRAM [ARGUMENTS...]" >&2; exit 2; }
program=$(basename "$2")
output=$(mktemp)
trap 'rm -f "$output"' EXIT

"$@" | tee "$output"
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] && { [ "$only_if_silent" -eq 0 ] || [ ! -s "$output" ]; }; then
  echo "$program failed under Wine (exit status $status); waiting for the Wine server and trying once more" >&2
  wineserver -w 2>/dev/null || true
  "$@"
  status=$?
fi
[ "$status" -eq 0 ] || echo "$program failed under Wine (exit status $status)" >&2
exit "$status"
