# Shared by the tools scripts: package installation, the Wine environment and
# the build entry points. Meant to be sourced.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# Debian packages the build and the tests need.
PACKAGES=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 mingw-w64-tools wine wine64 libwine-dev clang libclang-rt-14-dev python3 libssl-dev openssl
  libcurl4-openssl-dev nlohmann-json3-dev)

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
use_arch() {
  case $1 in
    x64) ARCH_BUILD="$BUILD/win64" WINE=/usr/lib/wine/wine64 WINEARCH=win64 ;;
    x86) ARCH_BUILD="$BUILD/win32" WINE=/usr/lib/wine/wine WINEARCH=win32 ;;
    *) echo "unknown architecture: $1" >&2; return 1 ;;
  esac
  export VESK_ARCH=$1 WINEARCH WINEPREFIX="$ARCH_BUILD/wineprefix"
  SCRIPT_HOST="$ARCH_BUILD/bin/script_host.exe"
}
use_arch "${VESK_ARCH:-x64}"

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
  "$WINE" regsvr32 /s "$(winpath "$ARCH_BUILD/bin/veskmail.dll")"
  if [ -f "$ARCH_BUILD/bin/vesktest_components.dll" ]; then
    "$WINE" regsvr32 /s "$(winpath "$ARCH_BUILD/bin/vesktest_components.dll")"
  fi
}

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
  (cd "$(dirname "$script")" && timeout 300 "$WINE" "$SCRIPT_HOST" "$(winpath "$script")" "$@") 2>&1 |
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
