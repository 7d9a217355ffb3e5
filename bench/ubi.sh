#!/bin/bash
# What one small edit of a UBIFS root costs: a 64 MiB UBI partition (128 KiB
# erase blocks, 2 KiB pages) holding a ~40 MiB lzo UBIFS volume "rootfs" of
# the mixed tree and a small static "kernel" volume, in one run,
# alternating, median of 3:
#   open + ls ROOT               vs  open of the image with ROOT typed RAW
#   open + replace + save        vs  extract (our get -r) + mkfs.ubifs + ubinize
#   peak RSS of the edit         vs  peak RSS of open + save of the raw-typed image
# Usage: bench/ubi.sh [build-dir] [tree MiB]
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
MB=${2:-40}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsubi.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
. "$HERE/common.sh"

mkdir tree; N=$(make_tree tree "$MB")
head -c 1500000 /dev/urandom > kernel.bin
UBIFS_OPTS="-m 2048 -e 126976 -c 480 -x lzo"
mkfs.ubifs $UBIFS_OPTS -r tree -o root.ubifs
mkubi_img() { # ubifs-image out
  cat > ubi.ini <<INI
[kernel]
mode=ubi
image=kernel.bin
vol_id=0
vol_type=static
vol_name=kernel
[rootfs]
mode=ubi
image=$1
vol_id=1
vol_type=dynamic
vol_name=rootfs
vol_size=56MiB
INI
  ubinize -o "$2" -p 128KiB -m 2048 -s 2048 -Q 1234 ubi.ini 2>/dev/null
}
mkubi_img root.ubifs part.ubi
PART=$((64 << 20))
image_of part.ubi UBIFS fs.bin $PART
image_of part.ubi RAW raw.bin $PART
ONE=$(cd tree && ls d00 | head -1)
echo hello-ubi > small.txt
printf 'open fs.bin\nls ROOT\nq\n' > ls.cmd
printf 'open raw.bin\nq\n' > raw.cmd
printf 'open fs.bin\nput ROOT/rootfs/d00/%s small.txt\nsave out.bin\nq\n' "$ONE" > edit.cmd
printf 'open raw.bin\nsave rawout.bin\nq\n' > rawsave.cmd
peer() {
  rm -rf ex; "$RS" -o fs.bin get -r ROOT/rootfs ex >/dev/null 2>&1
  cp small.txt "ex/d00/$ONE"
  mkfs.ubifs $UBIFS_OPTS -r ex -o new.ubifs && mkubi_img new.ubifs new.ubi && image_of new.ubi UBIFS peer.bin $PART
}
A=(); B=(); C=(); D=()
for _ in 1 2 3; do
  A+=("$(timeit sh -c "'$RS' < ls.cmd")")
  B+=("$(timeit sh -c "'$RS' < raw.cmd")")
  C+=("$(timeit sh -c "'$RS' < edit.cmd")")
  D+=("$(timeit peer)")
done
L=$(median "${A[@]}"); R=$(median "${B[@]}"); E=$(median "${C[@]}"); P=$(median "${D[@]}")
RE=$(rss "$RS" < edit.cmd); RR=$(rss "$RS" < rawsave.cmd)
"$RS" -o out.bin get ROOT/rootfs/d00/$ONE - | cmp - small.txt
printf '== UBI %s MiB partition, UBIFS lzo of %s files (%s MiB tree) ==\n' $((PART >> 20)) "$N" "$MB"
printf 'open+ls %.3fs / raw open %.3fs = %sx (<=1.5)\n' "$L" "$R" "$(ratio "$L" "$R")"
printf 'edit+save %.3fs / extract+mkfs.ubifs+ubinize %.3fs = %sx (<=0.1)\n' "$E" "$P" "$(ratio "$E" "$P")"
printf 'peak RSS edit %s KiB / raw open+save %s KiB = %sx (<=1.5)\n' "$RE" "$RR" "$(ratio "$RE" "$RR")"
