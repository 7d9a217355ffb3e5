#!/bin/sh
# cp -a out of a `romsmith mount` of a squashfs ROOT against `unsquashfs -d` of
# the same image, in one run, median of 3: 2 000 small files in 50 directories
# and 8 files of 4 MiB. Prints the ratio per tree. Needs /dev/fuse.
set -e
BUILD=${1:-build}
ROMSMITH=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsmount.XXXXXX")
trap 'fusermount3 -u "$WORK/mnt" 2>/dev/null || true; rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir small big mnt
i=0; while [ $i -lt 2000 ]; do
  d=small/d$((i % 50)); mkdir -p $d; head -c $((i * 7 % 3000 + 10)) /dev/urandom > $d/f$i; i=$((i + 1))
done
i=0; while [ $i -lt 8 ]; do head -c 4194304 /dev/urandom > big/f$i; i=$((i + 1)); done

now() { date +%s.%N; }
median() { sort -n | sed -n 2p; }
for t in small big; do
  mksquashfs "$t" "$t.sqfs" -noappend -quiet >/dev/null
  printf 'table_version 4\nBOOT NULL true RAW ro 0 0 0 0x10000\nROOT %s.sqfs true SQUASHFS ro 0 0 0x10000 0x3000000\nTABLE NULL false RAW ro 0 0 0x3010000 0x10000\n' "$t" > "$t.conf"
  "$ROMSMITH" mkflash "$t.conf" "$t.bin" >/dev/null
  ours=""; peer=""
  for _ in 1 2 3; do
    rm -rf o1 o2
    "$ROMSMITH" mount -o ro "$t.bin" mnt ROOT
    t0=$(now); cp -a mnt o1; t1=$(now)
    fusermount3 -u mnt
    t1b=$(now); unsquashfs -q -d o2 "$t.sqfs" >/dev/null; t2=$(now)
    ours="$ours $(echo "$t1 - $t0" | bc -l)"; peer="$peer $(echo "$t2 - $t1b" | bc -l)"
  done
  a=$(echo $ours | tr ' ' '\n' | median); b=$(echo $peer | tr ' ' '\n' | median)
  printf '%-6s cp -a from the mount %.3f s, unsquashfs -d %.3f s, ratio %.2f\n' "$t" "$a" "$b" "$(echo "$a / $b" | bc -l)"
done
