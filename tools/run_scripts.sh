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

# A scenario that names tests/scripts/prelude.vbs (or .js) in its first line
# runs with that prelude (the check helpers and the success marker) in front
# of it, joined into build/scripts/ under the scenario's own name: Wine's
# VBScript has no ExecuteGlobal to load it from the script itself.
with_prelude() {
  local prelude="$ROOT/tests/scripts/prelude.${1##*.}" joined="$BUILD/scripts/$(basename "$1")"
  if ! head -n 1 "$1" | grep -qF "$(basename "$prelude")"; then
    echo "$1"
    return
  fi
  mkdir -p "$BUILD/scripts"
  cat "$prelude" "$1" >"$joined"
  echo "$joined"
}

for script in "$folder"/*.vbs "$folder"/*.js; do
  [ -f "$script" ] || continue
  case $(basename "$script") in prelude.*) continue ;; esac
  script=$(with_prelude "$script")
  output=$(run_script "$script" "SCRIPT PASSED" 2>&1) && status=0 || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    echo "FAILED: $(basename "$script") (exit $status)" >&2
    if [ "$script" = "$BUILD/scripts/$(basename "$script")" ]; then
      echo "    (line numbers count the $(wc -l <"$ROOT/tests/scripts/prelude.${script##*.}") lines of the prelude first)" >&2
    fi
    printf '%s\n' "$output" | tr -d '\r' | sed 's/^/    /' >&2
  fi
done
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
