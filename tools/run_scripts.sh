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

# With the private servers running (VESK_MAILSERVERS set), a script may stop
# one of them and start it again: it writes a file named stop-dovecot,
# stop-postfix or start (both) into the folder %VESK_SERVER_CONTROL% names,
# and the file is removed once that is done. Whatever a script left, both
# servers run again before the next one.
if [ -n "${VESK_MAILSERVERS:-}" ]; then
  export VESK_SERVER_CONTROL="$BUILD/server-control"
  rm -rf "$VESK_SERVER_CONTROL" && mkdir -p "$VESK_SERVER_CONTROL"
  (
    set +e
    while sleep 0.05; do
      for request in "$VESK_SERVER_CONTROL"/*; do
        case $(basename "$request") in
          stop-dovecot) "$ROOT/tools/mailservers.sh" stop dovecot ;;
          stop-postfix) "$ROOT/tools/mailservers.sh" stop postfix ;;
          start) "$ROOT/tools/mailservers.sh" start ;;
          *) continue ;;
        esac >/dev/null 2>&1
        rm -f "$request"
      done
    done
  ) &
  control_pid=$!
  trap 'kill "$control_pid" 2>/dev/null || true' EXIT
fi

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
  if [ -n "${VESK_MAILSERVERS:-}" ]; then "$ROOT/tools/mailservers.sh" start >/dev/null 2>&1 || true; fi
done
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
