#!/usr/bin/env bash
# The main job: build veskmail.dll, register it in a private Wine prefix, run
# the examples, and take the whole road through private Postfix and Dovecot
# servers on loopback (started here and stopped again at the end).
# Each example runs with our script host and must print its last line; an
# example that stops on an error ends the job with the error's report.
source "$(dirname "$0")/common.sh"
ensure_packages "${PACKAGES[@]}"
use_arch x64
build_preset win64
prepare_wine

# run_example NAME LAST_LINE [ARGUMENTS...]
run_example() {
  echo "== examples/$1"
  run_script "$ROOT/examples/$1" "${@:2}" || { echo "main: examples/$1 did not complete" >&2; exit 1; }
}

run_example hello.vbs "Done\."
run_example compose.vbs "Done\."

"$ROOT/tools/mailservers.sh" start
trap '"$ROOT/tools/mailservers.sh" stop >/dev/null 2>&1 || true; stop_wine' EXIT
eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/local_/')"
run_example send_and_fetch.vbs "Deleted message [0-9]+\." /host:127.0.0.1 \
  "/smtp:$local_VESK_SMTP_PORT" "/pop3:$local_VESK_POP3_PORT" "/user:$local_VESK_MAIL_USER" \
  "/password:$local_VESK_MAIL_PASSWORD" "/to:$local_VESK_MAIL_ADDRESS"
run_example imap_folders.vbs "Done\." /host:127.0.0.1 \
  "/port:$local_VESK_IMAP_PORT" "/user:$local_VESK_MAIL_USER" "/password:$local_VESK_MAIL_PASSWORD"
