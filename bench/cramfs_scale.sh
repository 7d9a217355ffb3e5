#!/bin/bash
# cramfs at scale, every figure a ratio against a peer in the same run,
# alternating, median of 3. Sections (all by default):
#   many   COUNT files (default 200 000) of 100-2000 bytes in 1000 directories,
#          as our mkcramfs image: open + ls ROOT vs fsck.cramfs -v of the bare
#          image; one small edit + save vs cp + sync of the flash image
#   list   the 72 MiB mixed tree as mkfs.cramfs writes it: open + ls ROOT vs
#          fsck.cramfs -v, and the peak RSS of open + ls against 0.3x the
#          image + 30 MB
#   cedit  the same image: one small edit + save vs cp + sync
#   build  mkcramfs of the 72 MiB tree vs mkfs.cramfs
# Every saved image is checked with fsck.cramfs --extract.
# Usage: bench/cramfs_scale.sh [build-dir] [section...]
# COUNT sets the file count of `many`, SCALE_MB the size of the mixed tree;
# CRAMFS_IMG reuses a cramfs image of many files made earlier, TREE_DIR a
# mixed tree.
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
shift || true
SECTIONS=${*:-many list cedit build}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rscramfs.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
. "$HERE/common.sh"
echo hello-scale > small.txt

# The ROOT partition of a saved flash image passes fsck.cramfs --extract.
check_saved() { # flash image
  rm -rf chk chk.img
  "$RS" -c "open $1; dumppar ROOT chk.img" >/dev/null 2>&1
  if fsck.cramfs --extract=chk chk.img >/dev/null 2>&1; then echo "  saved image: fsck.cramfs --extract OK"
  else echo "  saved image: fsck.cramfs --extract FAILED"; fi
  rm -rf chk chk.img
}
tree72() {
  [ -e tree72 ] && return
  if [ -n "$TREE_DIR" ]; then ln -s "$TREE_DIR" tree72; else mkdir tree72 && make_tree tree72 "${SCALE_MB:-72}" >/dev/null; fi
}

section_many() {
  local count=${COUNT:-200000}
  if [ -n "$CRAMFS_IMG" ]; then
    cp "$CRAMFS_IMG" many.img
    echo "== many: image $CRAMFS_IMG =="
  else
    make_many many "$count"
    "$RS" mkcramfs many many.img >/dev/null
    rm -rf many
    echo "== many: $count files of 100-2000 bytes in 1000 directories (mkcramfs) =="
  fi
  image_of many.img CRAMFS many.bin
  sync
  read -r a b <<<"$(pair "'$RS' -c 'open many.bin; ls ROOT'" "fsck.cramfs -v many.img")"
  line "open+ls" "$a" "$b" "fsck.cramfs -v"
  read -r a b <<<"$(pair "'$RS' -c 'open many.bin; add ROOT//d000/f000000 small.txt; save out.bin'" \
    "cp many.bin cp.bin && sync cp.bin")"
  line "edit+save" "$a" "$b" "cp+sync"
  check_saved out.bin
  printf '%-28s peak RSS open+ls %s KiB, edit+save %s KiB\n' "" "$(rss "$RS" -c "open many.bin; ls ROOT")" \
    "$(rss "$RS" -c "open many.bin; add ROOT//d000/f000000 small.txt; save out.bin")"
  rm -f many.img many.bin out.bin cp.bin
}

section_list() {
  echo "== list: ${SCALE_MB:-72} MiB mixed tree as cramfs, open + ls ROOT =="
  tree72
  mkfs.cramfs tree72 fs.img >/dev/null 2>&1
  image_of fs.img CRAMFS fs.bin
  read -r a b <<<"$(pair "'$RS' -c 'open fs.bin; ls ROOT'" "fsck.cramfs -v fs.img")"
  line "open+ls" "$a" "$b" "fsck.cramfs -v"
  rss_line fs.bin
  rm -f fs.img fs.bin
}

section_cedit() {
  echo "== cedit: one small edit + save, ${SCALE_MB:-72} MiB tree as cramfs =="
  tree72
  mkfs.cramfs tree72 fs.img >/dev/null 2>&1
  image_of fs.img CRAMFS fs.bin
  local one
  one=$(ls tree72/d00 | head -1)
  sync
  read -r a b <<<"$(pair "'$RS' -c 'open fs.bin; add ROOT/d00/$one small.txt; save out.bin'" \
    "cp fs.bin cp.bin && sync cp.bin")"
  line "cramfs $(( $(stat -c %s fs.bin) >> 20 )) MiB image" "$a" "$b" "cp+sync"
  check_saved out.bin
  rm -f fs.img fs.bin out.bin cp.bin
}

section_build() {
  echo "== build: mkcramfs of the ${SCALE_MB:-72} MiB tree =="
  tree72
  read -r a b <<<"$(pair "rm -f o.img && '$RS' mkcramfs tree72 o.img" "rm -f p.img && mkfs.cramfs tree72 p.img")"
  line "mkcramfs" "$a" "$b" "mkfs.cramfs"
  rm -f o.img p.img
}

for S in $SECTIONS; do "section_$S"; done
