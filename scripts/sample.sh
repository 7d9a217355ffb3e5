#!/bin/sh
# Builds the bundled sample image from examples/ into <out>/flash.bin
# (default <build>/sample) and prints its path. Run from the project root.
set -e
BUILD=${1:-build}
OUT=${2:-$BUILD/sample}
ROMSMITH="$BUILD/romsmith"
rm -rf "$OUT"
mkdir -p "$OUT"
cp examples/flash.conf examples/content/* "$OUT/"
"$BUILD/rs_mkboot" "$OUT/boot.bin" >/dev/null
"$ROMSMITH" mkcramfs examples/rootfs "$OUT/root.cramfs" >/dev/null
"$ROMSMITH" mkminifs examples/data "$OUT/data.minifs" 0x80000 >/dev/null
"$ROMSMITH" mkflash "$OUT/flash.conf" "$OUT/flash.bin" >/dev/null
echo "$OUT/flash.bin"
