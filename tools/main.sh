#!/usr/bin/env bash
# The main job: build veskmail.dll, register it in a private Wine prefix, run
# the examples, and take the whole road through private Postfix and Dovecot
# servers on loopback (started here and stopped again at the end).
source "$(dirname "$0")/common.sh"
ensure_packages "${PACKAGES[@]}"
use_arch x64
build_preset win64
prepare_wine

echo "== examples/hello.vbs"
"$WINE" cscript //nologo "$(winpath "$ROOT/examples/hello.vbs")"
echo "== examples/compose.vbs"
"$WINE" cscript //nologo "$(winpath "$ROOT/examples/compose.vbs")"

"$ROOT/tools/mailservers.sh" start
trap '"$ROOT/tools/mailservers.sh" stop >/dev/null 2>&1 || true; wineserver -k 2>/dev/null || true' EXIT
eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/local_/')"
echo "== examples/send_and_fetch.vbs"
"$WINE" cscript //nologo "$(winpath "$ROOT/examples/send_and_fetch.vbs")" /host:127.0.0.1 \
  "/smtp:$local_VESK_SMTP_PORT" "/pop3:$local_VESK_POP3_PORT" "/user:$local_VESK_MAIL_USER" \
  "/password:$local_VESK_MAIL_PASSWORD" "/to:$local_VESK_MAIL_ADDRESS"
echo "== examples/imap_folders.vbs"
"$WINE" cscript //nologo "$(winpath "$ROOT/examples/imap_folders.vbs")" /host:127.0.0.1 \
  "/port:$local_VESK_IMAP_PORT" "/user:$local_VESK_MAIL_USER" "/password:$local_VESK_MAIL_PASSWORD"
