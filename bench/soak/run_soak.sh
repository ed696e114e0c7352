#!/usr/bin/env bash
# Runs the soak benchmark through the x64 DLL (VESK_ARCH=x86 for the other)
# against the private servers, with one message waiting for user vesk-soak,
# in a Wine prefix of its own (the tests' prefixes come and go meanwhile).
#   bench/soak/run_soak.sh [message rounds] [session rounds]
source "$(dirname "$0")/../../tools/common.sh"
build_preset "$([ "${VESK_ARCH:-x64}" = x86 ] && echo win32 || echo win64)"
"$ROOT/tools/mailservers.sh" start
eval "$("$ROOT/tools/mailservers.sh" env | sed 's/^/export /')"
python3 - <<PY
import smtplib
with smtplib.SMTP("127.0.0.1", $VESK_SMTP_PORT) as s:
    s.sendmail("soak@vesk.test", ["vesk-soak@localhost"], "Subject: soak\r\n\r\nwaiting for the soak\r\n")
PY
sleep 1
export WINEPREFIX="$ARCH_BUILD/soak-wineprefix"
prepare_wine
"$WINE" "$ARCH_BUILD/bin/soak.exe" "$@"
