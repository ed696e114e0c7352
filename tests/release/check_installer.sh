#!/usr/bin/env bash
# The installer packages as an administrator (or a user) takes them, each in
# a fresh Wine prefix, installed with msiexec /qn:
#   - the x64 package: an older version first, then this one over it (a major
#     upgrade), both DLLs in their folders, the examples run by a 64-bit and
#     a 32-bit script host, a repair that brings back a deleted DLL and key,
#     the uninstall leaving no file or key of ours, and then what regsvr32
#     writes for the same DLLs compared with what the package wrote;
#   - the per-user package: files under the profile, classes under
#     HKCU\Software\Classes only, nothing of ours for the machine, the
#     examples, the uninstall, and the comparison with regsvr32 /n /i:user;
#   - the x86 package: refused on 64-bit Windows; in a 32-bit prefix the same
#     as the x64 package for its one DLL.
# Also: two builds give the same package bytes. Prints "N passed, M failed";
# each check that needs 32-bit programs prints "skipped: x86: <check>: <reason>"
# on a machine that runs none.
source "$(dirname "$0")/../../tools/common.sh"
passed=0 failed=0 skipped=0
check() {
  if "${@:2}" >"$work/check.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1"
    tail -20 "$work/check.log"
  fi
}
skip() { skipped=$((skipped + 1)) && echo "skipped: $1: $2"; }
mkdir -p "$BUILD/results"
work=$(mktemp -d "$BUILD/results/installer.XXXXXX")
trap 'stop_wine; rm -rf "$work"' EXIT

x86_reason=""
if ! machine_runs_32bit; then
  x86_reason=$NO_32BIT_REASON
elif [ ! -x /usr/lib/wine/wine ]; then
  x86_reason="32-bit Wine (wine32) is not installed"
fi

# The release of this commit, an older version's packages, then this
# version again: the packages of the first and last run must be the same
# bytes (the DLLs were relinked in between).
release() { "$ROOT/tools/release.sh" >>"$BUILD/results/installer-release.log" 2>&1; }
: >"$BUILD/results/installer-release.log"
release || { tail -20 "$BUILD/results/installer-release.log"; echo "0 passed, 1 failed"; exit 1; }
version=$(cat "$BUILD/win64/version.txt")
older=$(python3 -c 'import sys; a, b, c = map(int, sys.argv[1].split("."))
print(f"{a}.{b}.{c - 1}" if c else f"{a}.{b - 1}.0" if b else f"{a - 1}.9.0")' "$version")
mkdir -p "$work/first" "$work/old"
cp "$ROOT/dist/veskmail-$version"-{x64,x86,user}.msi "$work/first/"
VESK_VERSION=$older VESK_DIST_DIR="$work/old" release ||
  { tail -20 "$BUILD/results/installer-release.log"; echo "0 passed, 1 failed"; exit 1; }
release || { tail -20 "$BUILD/results/installer-release.log"; echo "0 passed, 1 failed"; exit 1; }
for flavour in x64 x86 user; do
  check "veskmail-$version-$flavour.msi is the same bytes when built again" \
    cmp "$work/first/veskmail-$version-$flavour.msi" "$ROOT/dist/veskmail-$version-$flavour.msi"
done
msi() { winpath "$ROOT/dist/veskmail-$version-$1.msi"; }
old_msi() { winpath "$work/old/veskmail-$older-$1.msi"; }
stage="$BUILD/release/veskmail-$version"
values="$BUILD/release/installer/x64/values.tsv"
cp "$values" "$work/values.tsv"
values="$work/values.tsv"

# The words that mark what is ours in a registry file: our name, every GUID
# registration writes, and the packages' product, upgrade and component codes.
words=(VeskMail $(grep -oE '\{[0-9A-F-]{36}\}' "$values" | sort -u))
for file in "$work"/old/*.msi "$ROOT/dist/veskmail-$version"-{x64,x86,user}.msi; do
  words+=($( (msiinfo export "$file" Property; msiinfo export "$file" Component) | grep -oE '\{[0-9A-F-]{36}\}' | sort -u))
done

# Runs msiexec with the 64-bit loader (a 64-bit prefix) or the 32-bit one.
msiexec() { timeout 300 "$WINE" msiexec "$@" && wineserver -w; }
# Wine writes its registry files when its server ends: waited for first.
ours() { wineserver -w && python3 "$ROOT/tests/release/our_registry.py" "$@"; }
nothing() { # succeeds on empty input, else shows it
  local text
  text=$(cat)
  [ -z "$text" ] || { printf '%s\n' "$text" && return 1; }
}
left_over() { # BEFORE_DIR: nothing of ours added to either registry file since
  local file
  for file in system.reg user.reg; do ours --left "$1/$file" "$WINEPREFIX/$file" "${words[@]}"; done
}
new_files() { # BEFORE_LIST: paths under drive_c that were not there, but the installer's own cache folder
  comm -13 "$1" <(cd "$WINEPREFIX/drive_c" && find . | LC_ALL=C sort) | grep -vx './windows/Installer' || true
}
snapshot() { # DIR: the registry files and the list of files, before an install
  mkdir -p "$1" && wineserver -w && cp "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" "$1/" &&
    (cd "$WINEPREFIX/drive_c" && find . | LC_ALL=C sort) >"$1/files"
}
carries() { grep -qx "$2.0" <(strings -el "$1"); }
same() { diff "$1" "$2"; }
# Runs hello.vbs with the script host of ARCH in the current prefix.
hello() {
  local arch=$1 host loader
  host="$BUILD/$([ "$arch" = x64 ] && echo win64 || echo win32)/bin/script_host.exe"
  loader=$([ "$arch" = x64 ] && echo /usr/lib/wine/wine64 || echo /usr/lib/wine/wine)
  WINE=$loader SCRIPT_HOST=$host run_script "$ROOT/examples/hello.vbs" "Done\."
}
if [ -z "$x86_reason" ] &&
  ! (cmake --preset win32 >/dev/null && cmake --build --preset win32 --target script_host) >"$work/script_host.log" 2>&1; then
  tail -5 "$work/script_host.log"
  echo "the 32-bit script host could not be built"
fi

# A fresh 64-bit prefix, copied for each package.
use_arch x64
export WINEPREFIX="$work/fresh64"
"$WINE" wineboot -i >/dev/null 2>&1 || true
wineserver -w
stop_wine
x64_dir='C:\Program Files\VeskMail\' x86_dir='C:\Program Files (x86)\VeskMail\'

# --- per machine, x64 ---------------------------------------------------------
cp -a "$work/fresh64" "$work/machine64"
export WINEPREFIX="$work/machine64"
snapshot "$work/machine64-before"
refused() { ! msiexec "$@"; }
check "x64: the x86 package is refused on 64-bit Windows" refused /i "$(msi x86)" /qn
check "x64: the x86 package left nothing" nothing < <(left_over "$work/machine64-before"; new_files "$work/machine64-before/files")
check "x64: msiexec /i veskmail-$older-x64.msi /qn" msiexec /i "$(old_msi x64)" /qn
installed64="$WINEPREFIX/drive_c/Program Files/VeskMail/veskmail.dll"
installed32="$WINEPREFIX/drive_c/Program Files (x86)/VeskMail/veskmail.dll"
check "x64: version $older installed" carries "$installed64" "$older"
check "x64: msiexec /i veskmail-$version-x64.msi /qn over $older" msiexec /i "$(msi x64)" /qn
check "x64: the x64 DLL in Program Files carries $version" carries "$installed64" "$version"
check "x64: the x86 DLL in Program Files (x86) carries $version" carries "$installed32" "$version"
check "x64: the type libraries beside them" test -f "${installed64%.dll}.tlb" -a -f "${installed32%.dll}.tlb"
check "x64: the upgrade removed $older: no product of that version left" \
  test "$(grep -c "^\"DisplayVersion\"=\"$older\"" "$WINEPREFIX/system.reg")" -eq 0
check "x64: $version is the product installed" grep -q "^\"DisplayVersion\"=\"$version\"" "$WINEPREFIX/system.reg"
map=("$x64_dir"veskmail.dll='<x64 DLL>' "$x86_dir"veskmail.dll='<x86 DLL>' "$x64_dir"='<folder>\' "$x86_dir"='<folder>\')
ours "$WINEPREFIX/system.reg" "$values" "${map[@]}" >"$work/machine64-package.txt"
check "x64: classes, type library and interfaces written in both registry views" \
  test "$(grep -c 'Wow6432Node' "$work/machine64-package.txt")" -gt 100 -a "$(grep -vc 'Wow6432Node' "$work/machine64-package.txt")" -gt 100
check "x64: nothing of ours for the user" nothing < <(ours "$WINEPREFIX/user.reg" "$values")
check "x64: examples/hello.vbs runs in a 64-bit script host" hello x64
if [ -n "$x86_reason" ]; then skip "x86: x64: examples/hello.vbs in a 32-bit script host" "$x86_reason"; else
  check "x64: examples/hello.vbs runs in a 32-bit script host" hello x86
fi
# Repair: a deleted DLL and a deleted class key come back. (Wine's msiexec
# does not take /f, the short form of this; Windows takes both.)
rm -f "$installed64"
timeout 60 "$WINE" reg delete 'HKLM\Software\Classes\VeskMail.SMTP' /f >/dev/null 2>&1
wineserver -w
check "x64: msiexec /i REINSTALL=ALL REINSTALLMODE=omus (repair)" msiexec /i "$(msi x64)" REINSTALL=ALL REINSTALLMODE=omus /qn
check "x64: the repair brought the DLL back" carries "$installed64" "$version"
check "x64: the repair brought the registry back as it was" \
  same "$work/machine64-package.txt" <(ours "$WINEPREFIX/system.reg" "$values" "${map[@]}")
check "x64: msiexec /x (uninstall)" msiexec /x "$(msi x64)" /qn
check "x64: no key of ours left" nothing < <(left_over "$work/machine64-before")
check "x64: no file or folder of ours left" nothing < <(new_files "$work/machine64-before/files")
# What regsvr32 writes for the same DLLs, in the same prefix.
map=("$(winpath "$stage/x64/veskmail.dll")"='<x64 DLL>' "$(winpath "$stage/x86/veskmail.dll")"='<x86 DLL>'
  "$(winpath "$stage/x64")\\"='<folder>\' "$(winpath "$stage/x86")\\"='<folder>\')
check "x64: regsvr32 of the x64 DLL" wine_run /usr/lib/wine/wine64 regsvr32 /s "$(winpath "$stage/x64/veskmail.dll")"
if [ -n "$x86_reason" ]; then
  # (The system's type-library registration also writes the interfaces'
  # keys of the 32-bit view: left out on both sides.)
  skip "x86: x64: regsvr32 of the x86 DLL" "$x86_reason"
  check "x64: the package wrote what regsvr32 writes (64-bit view; the 32-bit one unchecked)" same \
    <(grep -v -e Wow6432Node -e '\\win32' "$work/machine64-package.txt") \
    <(ours "$WINEPREFIX/system.reg" "$values" "${map[@]}" | grep -v -e Wow6432Node -e '\\win32')
else
  check "x64: regsvr32 of the x86 DLL" wine_run /usr/lib/wine/wine regsvr32 /s "$(winpath "$stage/x86/veskmail.dll")"
  check "x64: the package wrote what regsvr32 writes, in both views" \
    same "$work/machine64-package.txt" <(ours "$WINEPREFIX/system.reg" "$values" "${map[@]}")
fi
stop_wine

# --- per user -------------------------------------------------------------------
cp -a "$work/fresh64" "$work/user64"
export WINEPREFIX="$work/user64"
# 64-bit Windows keeps 32-bit programs' classes of the user apart, under
# HKCU\Software\Classes\Wow6432Node; a fresh Wine prefix lacks that key, and
# without it Wine writes both views into one.
timeout 60 "$WINE" reg add 'HKCU\Software\Classes\Wow6432Node' /f >/dev/null 2>&1
snapshot "$work/user64-before"
check "user: msiexec /i veskmail-$older-user.msi /qn" msiexec /i "$(old_msi user)" /qn
check "user: msiexec /i veskmail-$version-user.msi /qn over $older" msiexec /i "$(msi user)" /qn
user_dll=$(cd "$WINEPREFIX/drive_c" && find users -path '*/AppData/Local/Programs/VeskMail/x64/veskmail.dll' | head -1)
check "user: the DLLs under the profile (AppData\\Local\\Programs\\VeskMail)" test -n "$user_dll" -a \
  -f "$WINEPREFIX/drive_c/${user_dll%/x64/veskmail.dll}/x86/veskmail.dll"
check "user: they carry $version" carries "$WINEPREFIX/drive_c/$user_dll" "$version"
user_dir="C:\\$(tr / '\\' <<<"${user_dll%/x64/veskmail.dll}")\\"
map=("${user_dir}x64\\veskmail.dll"='<x64 DLL>' "${user_dir}x86\\veskmail.dll"='<x86 DLL>'
  "${user_dir}x64\\"='<folder>\' "${user_dir}x86\\"='<folder>\')
ours "$WINEPREFIX/user.reg" "$values" "${map[@]}" >"$work/user-package.txt"
check "user: classes written under HKCU\\Software\\Classes" test "$(wc -l <"$work/user-package.txt")" -gt 100
check "user: no class key of ours for the machine" nothing < <(ours "$WINEPREFIX/system.reg" "$values")
# Wine's COM reads classes from the machine's root only (Windows merges the
# user's into it): a copy of the prefix gets the user's classes there, for
# the examples.
stop_wine
cp -a "$WINEPREFIX" "$work/user64-run"
WINEPREFIX="$work/user64-run" check "user: the user's classes copied to the machine view (a copy of the prefix)" \
  timeout 60 "$WINE" reg copy 'HKCU\Software\Classes' 'HKLM\Software\Classes' /s /f
WINEPREFIX="$work/user64-run" check "user: examples/hello.vbs runs in a 64-bit script host" hello x64
WINEPREFIX="$work/user64-run" stop_wine
check "user: msiexec /x (uninstall)" msiexec /x "$(msi user)" /qn
check "user: no key of ours left" nothing < <(left_over "$work/user64-before")
check "user: no file or folder of ours left" nothing < <(new_files "$work/user64-before/files")
check "user: regsvr32 /n /i:user of the x64 DLL" \
  wine_run /usr/lib/wine/wine64 regsvr32 /s /n /i:user "$(winpath "$stage/x64/veskmail.dll")"
map=("$(winpath "$stage/x64/veskmail.dll")"='<x64 DLL>' "$(winpath "$stage/x86/veskmail.dll")"='<x86 DLL>'
  "$(winpath "$stage/x64")\\"='<folder>\' "$(winpath "$stage/x86")\\"='<folder>\')
if [ -n "$x86_reason" ]; then
  skip "x86: user: regsvr32 /n /i:user of the x86 DLL" "$x86_reason"
  check "user: the package wrote what regsvr32 /n /i:user writes (the x64 DLL alone compared)" same \
    <(grep -v -e Wow6432Node -e '\\win32' "$work/user-package.txt" | sed 's/<x86 DLL>/<x64 DLL>/') \
    <(ours "$WINEPREFIX/user.reg" "$values" "${map[@]}")
else
  check "user: regsvr32 /n /i:user of the x86 DLL" \
    wine_run /usr/lib/wine/wine regsvr32 /s /n /i:user "$(winpath "$stage/x86/veskmail.dll")"
  # Wine keeps the user's ProgIDs of 32-bit programs apart (Windows shares
  # them between the views, so the package writes them once).
  check "user: the package wrote what regsvr32 /n /i:user writes" same "$work/user-package.txt" \
    <(ours "$WINEPREFIX/user.reg" "$values" "${map[@]}" | grep -v '^Software\\Classes\\Wow6432Node\\VeskMail\.')
fi
stop_wine

# --- per machine, x86, on 32-bit Windows -------------------------------------------
x86_checks=("msiexec /i veskmail-$older-x86.msi /qn" "msiexec /i veskmail-$version-x86.msi /qn over $older"
  "the DLL in Program Files carries $version" "examples/hello.vbs runs" "msiexec /x (uninstall)"
  "no key of ours left" "no file or folder of ours left" "the package wrote what regsvr32 writes")
if [ -n "$x86_reason" ]; then
  for name in "${x86_checks[@]}"; do skip "x86: $name" "$x86_reason"; done
else
  use_arch x86
  export WINEPREFIX="$work/machine32"
  "$WINE" wineboot -i >/dev/null 2>&1 || true
  snapshot "$work/machine32-before"
  check "x86: ${x86_checks[0]}" msiexec /i "$(old_msi x86)" /qn
  check "x86: ${x86_checks[1]}" msiexec /i "$(msi x86)" /qn
  check "x86: ${x86_checks[2]}" carries "$WINEPREFIX/drive_c/Program Files/VeskMail/veskmail.dll" "$version"
  ours "$WINEPREFIX/system.reg" "$values" 'C:\Program Files\VeskMail\veskmail.dll=<x86 DLL>' \
    'C:\Program Files\VeskMail\=<folder>\' >"$work/machine32-package.txt"
  check "x86: ${x86_checks[3]}" hello x86
  check "x86: ${x86_checks[4]}" msiexec /x "$(msi x86)" /qn
  check "x86: ${x86_checks[5]}" nothing < <(left_over "$work/machine32-before")
  check "x86: ${x86_checks[6]}" nothing < <(new_files "$work/machine32-before/files")
  wine_run "$WINE" regsvr32 /s "$(winpath "$stage/x86/veskmail.dll")" >/dev/null 2>&1
  check "x86: ${x86_checks[7]}" same "$work/machine32-package.txt" <(ours "$WINEPREFIX/system.reg" "$values" \
    "$(winpath "$stage/x86/veskmail.dll")"='<x86 DLL>' "$(winpath "$stage/x86")\\"='<folder>\')
  stop_wine
fi
[ "$skipped" -eq 0 ] || echo "$skipped skipped"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
