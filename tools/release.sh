#!/usr/bin/env bash
# The release for Windows users, built from the sources the tests use:
#   tools/release.sh            writes dist/veskmail-<version>-windows.zip and
#                               beside it the installer packages
#                               veskmail-<version>-{x64,x86,user}.msi
#   tools/release.sh reference  writes docs/reference.md again (after the IDL
#                               file or the message texts changed)
# The zip holds x64/ and x86/ (veskmail.dll, optimised and stripped, and its
# type library), examples/, README.txt, reference.md and SHA256SUMS. The
# version comes from project() in CMakeLists.txt; VESK_VERSION=1.2.3 builds
# that version instead (to try an upgrade from an older package), and
# VESK_DIST_DIR writes somewhere else than dist/. The DLLs, the zip's entries
# and the packages carry the last commit's time (or SOURCE_DATE_EPOCH) and
# nothing else that changes between runs, so two runs from one commit give
# the same bytes. VESK_SIGN, when set, is a command run on each DLL before it
# is packed and on each package once built (`$VESK_SIGN FILE`, signing FILE
# in place); signed files carry the signature's time and are no longer
# reproducible.
source "$(dirname "$0")/common.sh"
ensure_packages "${PACKAGES[@]}" "${INSTALLER_PACKAGES[@]}"
mkdir -p "$BUILD"

# Builds TARGETS of one architecture's preset; the log goes to build/.
build_targets() {
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "$@" -- -j2 >"$BUILD/release-$preset.log" 2>&1 || {
    tail -30 "$BUILD/release-$preset.log"
    echo "release build of $preset failed (log: $BUILD/release-$preset.log)"
    exit 1
  }
}

# The member reference is written under Wine from the built x64 DLL.
use_arch x64
build_targets win64 veskmail make_reference registry_values
wine_prefix_works || prepare_wine
build_targets win64 reference
reference="$BUILD/win64/reference/veskmail-reference.md"
if [ "${1:-}" = reference ]; then
  mkdir -p "$ROOT/docs"
  cp "$reference" "$ROOT/docs/reference.md"
  echo "docs/reference.md written"
  exit 0
fi
cmp -s "$reference" "$ROOT/docs/reference.md" ||
  echo "note: docs/reference.md is not current; tools/release.sh reference writes it again"
build_targets win32 veskmail

version=$(cat "$BUILD/win64/version.txt")
# strip stamps the DLLs and the zip's entries carry this time: the last commit's.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)}
dist=${VESK_DIST_DIR:-$ROOT/dist}
stage="$BUILD/release/veskmail-$version"
rm -rf "$stage" && mkdir -p "$stage/x64" "$stage/x86" "$stage/examples" "$dist"
for pair in x64:win64:x86_64 x86:win32:i686; do
  IFS=: read -r arch folder triplet <<<"$pair"
  "$triplet-w64-mingw32-strip" --strip-all -o "$stage/$arch/veskmail.dll" "$BUILD/$folder/bin/veskmail.dll"
  cp "$BUILD/$folder/generated/veskmail.tlb" "$stage/$arch/veskmail.tlb"
  [ -z "${VESK_SIGN:-}" ] || $VESK_SIGN "$stage/$arch/veskmail.dll"
done
cp "$ROOT"/examples/*.vbs "$stage/examples/"
cp "$reference" "$stage/reference.md"
# Notepad and every Windows editor read CR LF.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' "$ROOT/docs/README-windows.txt" >"$stage/README.txt"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)

zip_file="$dist/veskmail-$version-windows.zip"
python3 - "$stage" "$zip_file" "$SOURCE_DATE_EPOCH" <<'PY'
import os, sys, time, zipfile
stage, target, epoch = sys.argv[1], sys.argv[2], max(int(sys.argv[3]), 315532800)
stamp = time.gmtime(epoch)[:6]
names = sorted(os.path.relpath(os.path.join(d, f), stage) for d, _, fs in os.walk(stage) for f in fs)
with zipfile.ZipFile(target + ".tmp", "w", zipfile.ZIP_DEFLATED) as archive:
    for name in names:
        entry = zipfile.ZipInfo(name.replace(os.sep, "/"), stamp)
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as f:
            archive.writestr(entry, f.read())
os.replace(target + ".tmp", target)
PY
echo "$zip_file"
(cd "$stage" && sha256sum x64/veskmail.dll x86/veskmail.dll)

# The installer packages, from the same DLLs and their own registration data.
"$ROOT/tools/installer/make_msi.sh" "$stage" "$version" "$dist"
if [ -n "${VESK_SIGN:-}" ]; then
  for msi in "$dist/veskmail-$version"-{x64,x86,user}.msi; do $VESK_SIGN "$msi"; done
fi
(cd "$dist" && sha256sum "veskmail-$version"-{x64,x86,user}.msi)
