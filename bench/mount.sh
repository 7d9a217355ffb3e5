#!/bin/bash
# `romsmith mount` against the peers, in one run, alternating, median of 3:
#   cp -a of a 72 MiB mixed tree out of a mount of its squashfs xz ROOT   vs  unsquashfs -d
#   find over a mount of a 200 000-file squashfs xz ROOT                  vs  find over squashfuse
#   edit one small file through the mount + unmount (saved)               vs  the same edit by romsmith -c
# Usage: bench/mount.sh [build-dir] [MiB] [files]. Needs /dev/fuse (and squashfuse for the find).
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
MB=${2:-72}
FILES=${3:-200000}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsmount.XXXXXX")
trap 'fusermount3 -u "$WORK/mnt" 2>/dev/null || true; fusermount3 -u "$WORK/peer" 2>/dev/null || true; rm -rf "$WORK"' EXIT
cd "$WORK"
. "$HERE/common.sh"
mkdir mnt peer tree many

# Mounts in the foreground (the daemon's end is then ours to wait for).
mount_fg() { "$RS" mount -f "$@" & MP=$!; for _ in $(seq 200); do mountpoint -q mnt && return; sleep 0.05; done; }
unmount_wait() { fusermount3 -u mnt; wait "$MP"; }

N=$(make_tree tree "$MB")
mksquashfs tree tree.sqfs -comp xz -noappend -quiet -no-progress >/dev/null
image_of tree.sqfs SQUASHFS tree.bin $(( (MB * 2 + 8) << 20 ))
ONE=$(ls tree/d00 | head -1)
echo edited > small.txt
A=(); B=(); C=(); D=()
for _ in 1 2 3; do
  rm -rf o1 o2
  "$RS" mount -o ro tree.bin mnt ROOT
  A+=("$(timeit cp -a mnt o1)")
  fusermount3 -u mnt
  B+=("$(timeit unsquashfs -q -d o2 tree.sqfs)")
  cp tree.bin e1.bin; cp tree.bin e2.bin; sync
  t0=$(now); mount_fg e1.bin mnt ROOT; cp small.txt "mnt/d00/$ONE"; unmount_wait; t1=$(now)
  C+=("$(echo "$t1 - $t0" | bc -l)")
  D+=("$(timeit "$RS" -c "open e2.bin; add ROOT/d00/$ONE small.txt; save e2.bin")")
done
cmp <("$RS" -c "open e1.bin; cat ROOT/d00/$ONE") <("$RS" -c "open e2.bin; cat ROOT/d00/$ONE")
a=$(median "${A[@]}"); b=$(median "${B[@]}"); c=$(median "${C[@]}"); d=$(median "${D[@]}")
printf '%s MiB, %s files: cp -a from the mount %.3fs / unsquashfs -d %.3fs = %sx (<=1.5)\n' "$MB" "$N" "$a" "$b" "$(ratio "$a" "$b")"
printf '%s MiB: edit through the mount + unmount %.3fs / romsmith -c %.3fs = %sx (<=1.5)\n' "$MB" "$c" "$d" "$(ratio "$c" "$d")"

make_many many "$FILES"
mksquashfs many many.sqfs -comp xz -noappend -quiet -no-progress >/dev/null
image_of many.sqfs SQUASHFS many.bin
if ! "$RS" -c "open many.bin; ls -l ROOT/d000" >/dev/null 2>err.txt; then
  echo "$FILES files: romsmith does not open the image: $(head -c 300 err.txt)"
  exit 0
fi
if ! command -v squashfuse >/dev/null; then echo "$FILES files: squashfuse is not installed"; exit 0; fi
E=(); F=()
for _ in 1 2 3; do
  "$RS" mount -o ro many.bin mnt ROOT
  E+=("$(timeit find mnt)")
  fusermount3 -u mnt
  squashfuse many.sqfs peer
  F+=("$(timeit find peer)")
  fusermount3 -u peer
done
e=$(median "${E[@]}"); f=$(median "${F[@]}")
printf '%s files: find over the mount %.3fs / over squashfuse %.3fs = %sx (<=2)\n' "$FILES" "$e" "$f" "$(ratio "$e" "$f")"
