#!/bin/sh
# dump of a squashfs ROOT against `unsquashfs -d` of the same image, in one
# run, median of 3: 1 000 empty files, 20 000 hard links of one file, and a
# tree 1 000 directories deep. Prints the ratio per tree.
set -e
BUILD=${1:-build}
ROMSMITH=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsdump.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir empty links deep
i=0; while [ $i -lt 1000 ]; do : > empty/f$i; i=$((i + 1)); done
echo shared > links/base
python3 -c 'import os; [os.link("links/base", "links/l%d" % i) for i in range(1, 20000)]'
p=deep; i=0; while [ $i -lt 1000 ]; do p=$p/d; i=$((i + 1)); done
mkdir -p "$p"; echo bottom > "$p/leaf"

now() { date +%s.%N; }
median() { sort -n | sed -n 2p; }
for t in empty links deep; do
  mksquashfs "$t" "$t.sqfs" -noappend -quiet >/dev/null
  printf 'table_version 4\nBOOT NULL true RAW ro 0 0 0 0x10000\nROOT %s.sqfs true SQUASHFS ro 0 0 0x10000 0x800000\nTABLE NULL false RAW ro 0 0 0x810000 0x10000\n' "$t" > "$t.conf"
  "$ROMSMITH" mkflash "$t.conf" "$t.bin" >/dev/null
  ours=""; peer=""
  for _ in 1 2 3; do
    rm -rf o1 o2
    t0=$(now); "$ROMSMITH" -c "open $t.bin; dump o1" >/dev/null; t1=$(now)
    unsquashfs -q -d o2 "$t.sqfs" >/dev/null; t2=$(now)
    ours="$ours $(echo "$t1 - $t0" | bc -l)"; peer="$peer $(echo "$t2 - $t1" | bc -l)"
  done
  a=$(echo $ours | tr ' ' '\n' | median); b=$(echo $peer | tr ' ' '\n' | median)
  printf '%-6s dump %.3f s, unsquashfs -d %.3f s, ratio %.2f\n' "$t" "$a" "$b" "$(echo "$a / $b" | bc -l)"
done
