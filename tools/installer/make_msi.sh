#!/usr/bin/env bash
# The installer packages, built with wixl from the files of the release:
#   tools/installer/make_msi.sh STAGE VERSION OUTDIR
# STAGE holds x64/ and x86/ with veskmail.dll and veskmail.tlb (tools/release.sh
# stages them). Writes OUTDIR/veskmail-VERSION-{x64,x86,user}.msi. The
# registry values come from registry_values.exe (built by the win64 preset),
# run under Wine on each DLL: what the DLL itself writes when registered.
# Needs WINE and WINEPREFIX of a working x64 prefix (tools/common.sh) and
# SOURCE_DATE_EPOCH; two runs on the same files give the same bytes.
source "$(dirname "$0")/../common.sh"
stage=$1 version=$2 outdir=$3
: "${SOURCE_DATE_EPOCH:?}"
work="$BUILD/release/installer"
rm -rf "$work" && mkdir -p "$work/x64" "$work/x86" "$outdir"
for arch in x64 x86; do
  cp "$stage/$arch/veskmail.dll" "$stage/$arch/veskmail.tlb" "$work/$arch/"
  wine_run "$WINE" "$BUILD/win64/bin/registry_values.exe" "$(winpath "$work/$arch/veskmail.dll")" \
    "$(winpath "$work/$arch")\\values.tsv" || { echo "the registry values of the $arch DLL could not be listed"; exit 1; }
  # The cabinet inside a package records each file's time.
  touch -d "@$SOURCE_DATE_EPOCH" "$work/$arch/veskmail.dll" "$work/$arch/veskmail.tlb"
done
for flavour in x64 x86 user; do
  wxs="$work/veskmail-$flavour.wxs" msi="$outdir/veskmail-$version-$flavour.msi"
  python3 "$ROOT/tools/installer/make_wxs.py" "$flavour" "$version" "$work" "$wxs"
  arch=$([ "$flavour" = x86 ] && echo x86 || echo x64)
  (cd "$work" && wixl --arch "$arch" -o "$msi.tmp" "$wxs") || { echo "wixl failed on $wxs"; exit 1; }
  # The package code names these exact contents: the source and every file.
  package_code=$(cat "$wxs" "$work"/x64/* "$work"/x86/* | sha256sum |
    python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID("B0088513-94BD-4B84-B174-B5769A7024F4"),
      "package/" + sys.argv[1] + "/" + sys.argv[2] + "/" + sys.stdin.read().split()[0]))' "$flavour" "$version")
  /usr/bin/python3 "$ROOT/tools/installer/fix_msi_stamps.py" "$msi.tmp" "$package_code" "$SOURCE_DATE_EPOCH"
  mv "$msi.tmp" "$msi"
  echo "$msi"
done
