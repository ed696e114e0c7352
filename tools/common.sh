# Shared by the tools scripts: package installation, the Wine environment and
# the build entry points. Meant to be sourced.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# Debian packages the build and the tests need.
PACKAGES=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 mingw-w64-tools wine wine64 libwine-dev clang libclang-rt-14-dev python3 libssl-dev openssl
  libcurl4-openssl-dev nlohmann-json3-dev)
# What the installer packages of the release take: wixl (Debian's msitools)
# builds them, olefile fixes the stamps wixl leaves in them.
INSTALLER_PACKAGES=(msitools wixl python3-olefile)

ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Wine runs each architecture with its own loader in its own private prefix
# inside the build tree (never the user's). Programs are started through the
# loader's full path: once wine32 is installed, plain "wine" starts the 32-bit
# loader, which in a 64-bit prefix runs the 32-bit copy of a system program
# from syswow64 (a 32-bit cscript that finds no 64-bit classes).
#   use_arch x64|x86   selects WINE (the loader), WINEPREFIX, WINEARCH,
#                      ARCH_BUILD (the build folder of that architecture) and
#                      SCRIPT_HOST (our script host built there)
# VESK_ARCH (default x64) chooses the architecture a tool starts with.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# VESK_WINEPREFIX_DIR, when set, holds the prefixes (win64/, win32/) instead of
# the build folders.
use_arch() {
  case $1 in
    x64) ARCH_BUILD="$BUILD/win64" WINE=/usr/lib/wine/wine64 WINEARCH=win64 ;;
    x86) ARCH_BUILD="$BUILD/win32" WINE=/usr/lib/wine/wine WINEARCH=win32 ;;
    *) echo "unknown architecture: $1" >&2; return 1 ;;
  esac
  local prefix="$ARCH_BUILD/wineprefix"
  [ -z "${VESK_WINEPREFIX_DIR:-}" ] || prefix="$VESK_WINEPREFIX_DIR/$(basename "$ARCH_BUILD")"
  export VESK_ARCH=$1 WINEARCH WINEPREFIX="$prefix"
  SCRIPT_HOST="$ARCH_BUILD/bin/script_host.exe"
}
use_arch "${VESK_ARCH:-x64}"

# True when this machine runs 32-bit (i386) programs. Some kernels have that
# switched off ("32-bit emulation disabled"): every i386 program, Wine's
# 32-bit loader included, then fails with "Exec format error", although
# Debian's wine32 still installs. The answer comes from a 93-byte static i386
# program that only exits, and is asked once per run (VESK_RUNS_32BIT carries
# it to the scripts this one starts). VESK_NO_32BIT=1 pretends the machine
# cannot, so that the skipping is tried on any machine.
NO_32BIT_REASON="this machine runs no 32-bit programs"
machine_runs_32bit() {
  if [ -z "${VESK_RUNS_32BIT:-}" ]; then
    VESK_RUNS_32BIT=no
    if [ "${VESK_NO_32BIT:-0}" != 1 ]; then
      local probe="$BUILD/probe-i386"
      mkdir -p "$BUILD"
      # ELF header, one loadable segment, then: mov eax,1; xor ebx,ebx; int 0x80
      python3 - "$probe" <<'PY'
import struct, sys
code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])
base, header, segment = 0x08048000, 52, 32
ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
elf = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header + segment, header, 0, 0, header,
                          segment, 1, 0, 0, 0)
size = header + segment + len(code)
elf += struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000) + code
with open(sys.argv[1], "wb") as f:
    f.write(elf)
PY
      chmod +x "$probe"
      "$probe" 2>/dev/null && VESK_RUNS_32BIT=yes
    fi
    export VESK_RUNS_32BIT
  fi
  [ "$VESK_RUNS_32BIT" = yes ]
}

# Windows path of a Linux path (Wine maps / to drive Z:).
winpath() { printf 'Z:%s' "$(realpath "$1" | tr '/' '\\')"; }

build_preset() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -- -j2 >"$BUILD/$preset.log" 2>&1 || {
    tail -50 "$BUILD/$preset.log"
    echo "build of $preset failed (full log: $BUILD/$preset.log)"
    return 1
  }
}

# True when the prefix starts a program of its architecture.
wine_prefix_works() {
  [ -f "$WINEPREFIX/system.reg" ] &&
    [ "$(timeout 120 "$WINE" cmd.exe /c echo vesk-prefix-ok 2>/dev/null | tr -d '\r')" = vesk-prefix-ok ]
}

# Creates the prefix when it is missing or no longer starts (one made before
# wine32 was installed, or for the other architecture), then registers the
# freshly built DLL (and the test stand-ins of a test build) in it.
prepare_wine() {
  if ! wine_prefix_works; then
    echo "Creating Wine prefix $WINEPREFIX ($WINEARCH)"
    stop_wine
    rm -rf "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    wine_prefix_works || { echo "Wine prefix $WINEPREFIX does not start programs"; return 1; }
  fi
  wine_run "$WINE" regsvr32 /s "$(winpath "$ARCH_BUILD/bin/veskmail.dll")" ||
    { echo "veskmail.dll could not be registered in $WINEPREFIX"; return 1; }
  if [ -f "$ARCH_BUILD/bin/vesktest_components.dll" ]; then
    wine_run "$WINE" regsvr32 /s "$(winpath "$ARCH_BUILD/bin/vesktest_components.dll")" ||
      { echo "the test components could not be registered in $WINEPREFIX"; return 1; }
  fi
}

# A program under Wine, run once more when Wine failed to start it (see
# tools/wine_run.sh): plain for programs that may run twice, --if-silent first
# for the others.
wine_run() { "$ROOT/tools/wine_run.sh" "$@"; }

# Runs a .vbs or .js file from its own folder with our script host (Wine's
# cscript prints nothing for an error that stops a script and exits 0; the
# host names the file, line, error number and description and exits 1), and
# shows what it prints. Succeeds only when the host exits 0 and the last line
# printed matches the extended regular expression LAST_LINE.
#   run_script FILE LAST_LINE [ARGUMENTS...]
run_script() {
  local script=$1 last_line=$2 log last status=0
  shift 2
  log=$(mktemp)
  (cd "$(dirname "$script")" && timeout 300 "$ROOT/tools/wine_run.sh" --if-silent "$WINE" "$SCRIPT_HOST" \
    "$(winpath "$script")" "$@") 2>&1 |
    tee "$log" || status=$?
  last=$(tr -d '\r' <"$log" | grep -v '^$' | tail -1 || true)
  rm -f "$log"
  if [ "$status" -ne 0 ]; then
    echo "$(basename "$script") failed (exit status $status)" >&2
    return 1
  fi
  if ! [[ $last =~ ^($last_line)$ ]]; then
    echo "$(basename "$script") stopped before its last line (last printed: \"$last\")" >&2
    return 1
  fi
}

stop_wine() { wineserver -k 2>/dev/null || true; }
