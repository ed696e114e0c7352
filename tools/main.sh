#!/usr/bin/env bash
# The main job: build veskmail.dll, register it in a private Wine prefix and
# run the example script.
source "$(dirname "$0")/common.sh"
ensure_packages "${PACKAGES[@]}"
build_preset win64
prepare_wine
wine cscript //nologo "$(winpath "$ROOT/examples/hello.vbs")"
wineserver -w
