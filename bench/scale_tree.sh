#!/bin/bash
# Trees of many small files: COUNT files (default 200 000) of 100 to 2 000
# bytes in 1 000 directories, as an xz squashfs and as a cramfs, each inside a
# flash image. In one run, alternating, median of 3:
#   open+ls ROOT              vs  unsquashfs -lln / fsck.cramfs -v --extract
#   open+replace+save         vs  cp of the flash image + sync (both to a new file)
# plus the peak RSS of the open and the edit.
# Usage: [SQFS_IMG=a.sqfs [CRAMFS_IMG=a.cramfs]] bench/scale_tree.sh [build-dir] [count]
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
COUNT=${2:-200000}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsscale.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

. "$HERE/common.sh"

# SQFS_IMG / CRAMFS_IMG reuse images made earlier from such a tree (making
# them takes minutes: mkfs.cramfs alone some twenty on 200 000 files); with
# SQFS_IMG alone only the squashfs is measured.
KINDS="sqxz cramfs"
if [ -n "$SQFS_IMG" ] && [ -n "$CRAMFS_IMG" ]; then
  cp "$SQFS_IMG" fs.sqfs
  cp "$CRAMFS_IMG" fs.cramfs
  echo "== images $SQFS_IMG and $CRAMFS_IMG =="
elif [ -n "$SQFS_IMG" ]; then
  cp "$SQFS_IMG" fs.sqfs
  KINDS=sqxz
  echo "== image $SQFS_IMG =="
else
  make_many tree "$COUNT"
  echo "== $COUNT files of 100-2000 bytes in 1000 directories =="
  mksquashfs tree fs.sqfs -comp xz -noappend -quiet -no-progress >/dev/null
  mkfs.cramfs tree fs.cramfs >/dev/null
fi
echo hello-scale > small.txt
ONE=d000/f000000

for FS in $KINDS; do
  case $FS in
    sqxz) IMG=fs.sqfs TYPE=SQUASHFS; PEER=(unsquashfs -lln fs.sqfs) ;;
    cramfs) IMG=fs.cramfs TYPE=CRAMFS; PEER=(fsck.cramfs -v --extract fs.cramfs) ;;
  esac
  image_of "$IMG" $TYPE fs.bin
  A=(); B=(); C=(); D=()
  for _ in 1 2 3; do
    A+=("$(timeit "$RS" -c "open fs.bin; ls ROOT")")
    B+=("$(timeit "${PEER[@]}")")
    # Both write a new file (replacing a 200 MB file costs either side the
    # eviction of its pages; the rename of an atomic save pays it at once).
    rm -f out.bin peer.bin; sync
    C+=("$(timeit "$RS" -c "open fs.bin; add ROOT//$ONE small.txt; save out.bin")")
    rm -f out.bin peer.bin; sync
    D+=("$(timeit sh -c 'cp fs.bin peer.bin && sync peer.bin')")
  done
  # The listing must be whole: one line per entry below the root.
  LINES=$("$RS" -c "open fs.bin; ls ROOT" 2>/dev/null | wc -l)
  RSS_LS=$(rss "$RS" -c "open fs.bin; ls ROOT")
  RSS_ED=$(rss "$RS" -c "open fs.bin; add ROOT//$ONE small.txt; save out.bin")
  a=$(median "${A[@]}") b=$(median "${B[@]}") c=$(median "${C[@]}") d=$(median "${D[@]}")
  printf '%-7s image %s B, %s lines | open+ls %.3fs / %s %.3fs = %sx | edit+save %.3fs / cp+sync %.3fs = %sx | RSS ls %s KiB, edit %s KiB\n' \
    "$FS" "$(stat -c %s "$IMG")" "$LINES" "$a" "${PEER[0]}" "$b" "$(ratio "$a" "$b")" "$c" "$d" "$(ratio "$c" "$d")" \
    "$RSS_LS" "$RSS_ED"
done
