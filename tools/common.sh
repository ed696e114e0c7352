# Shared by the tools scripts: package installation, the Wine environment and
# the build entry points. Meant to be sourced.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

# Debian packages the build and the tests need.
PACKAGES=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 mingw-w64-tools wine wine64 libwine-dev clang libclang-rt-14-dev python3)

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

# A private Wine prefix inside the build tree; never the user's own.
export WINEPREFIX="$BUILD/win64/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

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

# Creates the prefix once, then registers the freshly built DLL in it.
prepare_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating Wine prefix $WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
  wine regsvr32 /s "$(winpath "$BUILD/win64/bin/veskmail.dll")"
  # Test stand-ins (page context, byte source), present in test builds only.
  if [ -f "$BUILD/win64/bin/vesktest_components.dll" ]; then
    wine regsvr32 /s "$(winpath "$BUILD/win64/bin/vesktest_components.dll")"
  fi
}

stop_wine() { wineserver -k 2>/dev/null || true; }
