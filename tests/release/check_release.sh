#!/usr/bin/env bash
# The release zip as a Windows user takes it: unpacked into an empty folder and
# checked; then per architecture, in a fresh Wine prefix, registered for the
# user only, the examples run from it, unregistered. Prints "N passed, M failed".
# VESK_RELEASE_ARCHS (default "x64 x86") limits the checks under Wine. On a
# machine that runs no 32-bit programs, each x86 check under Wine prints
# "skipped: x86: <check>: this machine runs no 32-bit programs".
source "$(dirname "$0")/../../tools/common.sh"
passed=0 failed=0 skipped=0 skip_reason=""
check() {
  if [ -n "$skip_reason" ]; then
    skipped=$((skipped + 1))
    echo "skipped: $1: $skip_reason"
  elif "${@:2}" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) && echo "FAILED: $1"
  fi
}
mkdir -p "$BUILD/results"
"$ROOT/tools/release.sh" >"$BUILD/results/release.log" 2>&1 ||
  { tail -20 "$BUILD/results/release.log" && echo "0 passed, 1 failed" && exit 1; }
version=$(cat "$BUILD/win64/version.txt")
work=$(mktemp -d "$BUILD/results/release.XXXXXX")
trap 'stop_wine; rm -rf "$work"' EXIT
unpacked="$work/VeskMail"
python3 -m zipfile -e "$ROOT/dist/veskmail-$version-windows.zip" "$unpacked"
cd "$unpacked"
expected=$(printf '%s\n' README.txt SHA256SUMS reference.md x{64,86}/veskmail.{dll,tlb} \
  $(cd "$ROOT" && ls examples/*.vbs) | LC_ALL=C sort)
check "the zip holds exactly the release files" test "$(find . -type f | sed 's|^\./||' | LC_ALL=C sort)" = "$expected"
check "SHA256SUMS lists every other file and each checksum matches" \
  test "$(sha256sum -c SHA256SUMS 2>&1 | grep -c ': OK$')" -eq "$(($(wc -l <<<"$expected") - 1))"
check "reference.md is docs/reference.md (tools/release.sh reference writes it)" \
  cmp reference.md "$ROOT/docs/reference.md"
for arch in x64 x86; do
  dll="$arch/veskmail.dll" objdump=$([ $arch = x64 ] && echo x86_64 || echo i686)-w64-mingw32-objdump
  check "$dll is smaller than 2 MB" test "$(stat -c %s "$dll")" -lt $((2 * 1024 * 1024))
  check "$dll exports the four entry points and DllInstall" test "$("$objdump" -p "$dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -oE 'Dll[A-Za-z]+' | sort | xargs)" = \
    "DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer"
  check "$dll carries version $version.0" grep -qx "$version.0" <(strings -el "$dll")
done

# Key names of the user's classes in the prefix's registry file, as Wine saves it.
user_classes() {
  [ -z "$skip_reason" ] || return 0
  wineserver -w
  grep -o '^\[Software\\\\Classes\\\\[^]]*\]' "$WINEPREFIX/user.reg" | sort || true
}
for arch in ${VESK_RELEASE_ARCHS:-x64 x86}; do
  skip_reason=""
  if [ $arch = x86 ]; then
    if ! machine_runs_32bit; then
      skip_reason=$NO_32BIT_REASON
    elif [ ! -x /usr/lib/wine/wine ]; then
      skip_reason="32-bit Wine (wine32) is not installed"
    fi
  fi
  use_arch $arch
  export WINEPREFIX="$work/prefix-$arch"
  [ -n "$skip_reason" ] || "$WINE" wineboot -i >/dev/null 2>&1 || true
  before=$(user_classes)
  dll=$(winpath "$unpacked/$arch/veskmail.dll")
  check "$arch: regsvr32 /n /i:user succeeds" wine_run "$WINE" regsvr32 /s /n /i:user "$dll"
  registered=$(user_classes)
  for key in VeskMail.{POP3,SMTP,IMAP4,MIMEMessage,OAuth2,MailAPI}{,.1} TypeLib Interface; do
    check "$arch: HKCU\\Software\\Classes\\$key written" grep -qF "[Software\\\\Classes\\\\$key" <<<"$registered"
  done
  check "$arch: the six classes' InprocServer32 and the type library name the unpacked DLL" \
    test "$(grep -cF "@=\"${dll//\\/\\\\}\"" "$WINEPREFIX/user.reg" 2>/dev/null)" -eq 7
  check "$arch: nothing written for the machine" test "$(grep -ciE 'vesk|8FC089DD' "$WINEPREFIX/system.reg" 2>/dev/null)" -eq 0
  check "$arch: regsvr32 /u /n /i:user succeeds" wine_run "$WINE" regsvr32 /s /u /n /i:user "$dll"
  check "$arch: unregistration leaves the user's classes as they were" test "$(user_classes)" = "$before"
  # Wine 8's COM reads classes from the machine's root only (Windows merges the
  # user's into it): the user's entries alone are copied there for the scripts.
  check "$arch: registered for the user again" wine_run "$WINE" regsvr32 /s /n /i:user "$dll"
  check "$arch: the user's entries copied to the machine view" wine_run "$WINE" reg copy 'HKCU\Software\Classes' \
    'HKLM\Software\Classes' /s /f
  check "$arch: examples/hello.vbs runs" run_script "$unpacked/examples/hello.vbs" "Done\."
  check "$arch: examples/compose.vbs runs" run_script "$unpacked/examples/compose.vbs" "Done\."
  [ -n "$skip_reason" ] || stop_wine
done
[ "$skipped" -eq 0 ] || echo "$skipped skipped"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
