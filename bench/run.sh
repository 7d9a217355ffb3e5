#!/bin/sh
# Load + save of a 128 MiB raw image with 8 partitions, against cp of the same
# file in the same run. Prints wall-time ratio and peak RSS / image size.
set -e
BUILD=${1:-build}
ROMSMITH=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
{
  echo "table_version 4"
  echo "crc32 true"
  echo "flash_size 128M"
  start=0
  for i in 1 2 3 4 5 6 7; do
    head -c $((15 * 1024 * 1024)) /dev/urandom > "p$i.bin"
    echo "PART$i p$i.bin true RAW ro 0 0 $start 16M"
    start=$((start + 16 * 1024 * 1024))
  done
  echo "TABLE NULL false RAW ro 0 0 $start auto"
} > flash.conf
"$ROMSMITH" mkflash flash.conf image.bin >/dev/null
SIZE=$(stat -c %s image.bin)

now() { date +%s.%N; }
best() { # best of three wall times of a command
  b=""
  for _ in 1 2 3; do
    t0=$(now); "$@" >/dev/null 2>&1; t1=$(now)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}
save() { printf 'open image.bin\nsave out.bin\nq\n' | "$ROMSMITH"; }
cpsync() { cp image.bin copy.bin && sync copy.bin; }
T_CP=$(best cp image.bin copy.bin)
T_CPS=$(best cpsync)
T_RS=$(best save)
RSS_KB=$(/usr/bin/time -f %M sh -c "printf 'open image.bin\nsave out.bin\nq\n' | '$ROMSMITH' >/dev/null" 2>&1 | tail -1)
cmp -s image.bin out.bin && SAME=yes || SAME=no
echo "image: $SIZE bytes, 8 partitions; output identical: $SAME"
printf 'cp: %.3f s   romsmith open+save: %.3f s   ratio: %.2fx (target <= 3x)\n' "$T_CP" "$T_RS" "$(echo "$T_RS / $T_CP" | bc -l)"
# Saves reach the disk before the rename (fsync); cp does not wait for that.
printf 'cp + sync: %.3f s   ratio: %.2fx\n' "$T_CPS" "$(echo "$T_RS / $T_CPS" | bc -l)"
printf 'peak RSS: %d KiB = %.2fx image size (target <= 2.5x)\n' "$RSS_KB" "$(echo "$RSS_KB * 1024 / $SIZE" | bc -l)"
