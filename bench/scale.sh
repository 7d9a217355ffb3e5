#!/bin/bash
# How romsmith scales, every figure a ratio against a peer in the same run,
# alternating, median of 3. Sections (all by default):
#   list   72 MiB mixed tree as squashfs xz, gzip, zstd, lz4 and as cramfs, in a
#          flash image: open + ls ROOT  vs  unsquashfs -lln / fsck.cramfs -v of
#          the bare image; peak RSS of open + ls against 0.3x the image + 30 MB
#   edit   bench/scale_save.sh: one small edit + save vs cp + sync at 24, 72 and
#          256 MiB, and its slope per MiB
#   lz4    the same edit on the 256 MiB lz4 tree  vs  unsquashfs + mksquashfs
#   cedit  one small edit + save of the 72 MiB tree as cramfs  vs  cp + sync
#   many   bench/scale_tree.sh: 200 000 files, squashfs xz and cramfs
#   gig    a 1 GiB flash image (a 700 MiB squashfs gzip ROOT and raw
#          partitions): edit + save  vs  cp + sync
#   build  mksquashfs of the 72 MiB tree (gzip, xz; same block size and cores)
#          vs mksquashfs, and mkcramfs vs mkfs.cramfs
# Usage: bench/scale.sh [build-dir] [section...]
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
shift || true
SECTIONS=${*:-list edit lz4 cedit many gig build}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsscale.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
. "$HERE/common.sh"
echo hello-scale > small.txt
CORES=$(nproc)

# SCALE_MB shrinks the 72 MiB tree for a quick check of the script itself.
tree72() { [ -d tree72 ] || { mkdir tree72; make_tree tree72 "${SCALE_MB:-72}" >/dev/null; }; }

section_list() {
  echo "== list: 72 MiB mixed tree, open + ls ROOT =="
  tree72
  for KIND in xz gzip zstd lz4 cramfs; do
    if [ $KIND = cramfs ]; then
      mkfs.cramfs tree72 fs.img >/dev/null 2>&1
      TYPE=CRAMFS PEER="fsck.cramfs -v fs.img" NAME="fsck.cramfs -v"
    else
      mksquashfs tree72 fs.img -comp $KIND -noappend -quiet -no-progress >/dev/null 2>&1
      TYPE=SQUASHFS PEER="unsquashfs -lln fs.img" NAME="unsquashfs -lln"
    fi
    image_of fs.img $TYPE fs.bin
    read -r a b <<<"$(pair "'$RS' -c 'open fs.bin; ls ROOT'" "$PEER")"
    line "$KIND" "$a" "$b" "$NAME"
    rss_line fs.bin
    rm -f fs.img fs.bin
  done
}

section_edit() {
  echo "== edit: one small edit + save as images grow =="
  bash "$HERE/scale_save.sh" "$BUILD_ABS"
}

section_lz4() {
  echo "== lz4: 256 MiB tree, edit + save vs unsquashfs + mksquashfs =="
  mkdir -p t256; make_tree t256 256 >/dev/null
  mksquashfs t256 fs.img -comp lz4 -noappend -quiet -no-progress >/dev/null 2>&1
  image_of fs.img SQUASHFS fs.bin
  ONE=$(ls t256/d00 | head -1)
  read -r a b <<<"$(CLEAN="out.bin peer.img" pair "'$RS' -c 'open fs.bin; add ROOT/d00/$ONE small.txt; save out.bin' && sync out.bin" \
    "rm -rf x && unsquashfs -q -d x fs.img && cp small.txt x/d00/$ONE && mksquashfs x peer.img -comp lz4 -noappend -quiet -no-progress && sync peer.img")"
  line "lz4 256 MiB" "$a" "$b" "unsquashfs+mksquashfs"
  rm -rf x t256 fs.img fs.bin out.bin peer.img
}

section_cedit() {
  echo "== cedit: one small edit + save, 72 MiB tree as cramfs =="
  tree72
  mkfs.cramfs tree72 fs.img >/dev/null 2>&1
  image_of fs.img CRAMFS fs.bin
  ONE=$(ls tree72/d00 | head -1)
  sync
  read -r a b <<<"$(CLEAN="out.bin cp.bin" pair "'$RS' -c 'open fs.bin; add ROOT/d00/$ONE small.txt; save out.bin'" "cp fs.bin cp.bin && sync cp.bin")"
  line "cramfs $(( $(stat -c %s fs.bin) >> 20 )) MiB image" "$a" "$b" "cp+sync"
  rm -f fs.img fs.bin out.bin cp.bin
}

section_many() {
  echo "== many: 200 000 files =="
  bash "$HERE/scale_tree.sh" "$BUILD_ABS"
}

section_gig() {
  echo "== gig: 1 GiB flash image, a 700 MiB squashfs gzip ROOT and raw partitions =="
  mkdir -p t700; make_tree t700 700 >/dev/null
  mksquashfs t700 root.img -comp gzip -noappend -quiet -no-progress >/dev/null 2>&1
  ONE=d00/$(ls t700/d00 | head -1)
  rm -rf t700
  local root_size=$(( ($(stat -c %s root.img) / 65536 + 64) * 65536 ))
  head -c 40000 /dev/urandom > boot.bin
  head -c $((150 << 20)) /dev/urandom > app.bin
  head -c $((100 << 20)) /dev/urandom > data.bin
  local at=$((0x20000))
  {
    echo "table_version 4"
    echo "crc32 true"
    echo "BOOT boot.bin true RAW ro 0 0 0 0x10000"
    echo "TABLE NULL false RAW ro 0 0 0x10000 0x10000"
    echo "ROOT root.img true SQUASHFS ro 0 0 $at $root_size"
    at=$((at + root_size))
    echo "APP app.bin true RAW ro 0 0 $at $((160 << 20))"
    at=$((at + (160 << 20)))
    echo "DATA data.bin true RAW ro 0 0 $at $(( (1 << 30) - at ))"
  } > gig.conf
  "$RS" mkflash gig.conf gig.bin unchanged_fs >/dev/null
  rm -f root.img app.bin data.bin
  sync
  read -r a b <<<"$(CLEAN="out.bin cp.bin" pair "'$RS' -c 'open gig.bin; add ROOT/$ONE small.txt; save out.bin'" \
    "cp gig.bin cp.bin && sync cp.bin")"
  line "1 GiB ($(( $(stat -c %s gig.bin) >> 20 )) MiB)" "$a" "$b" "cp+sync"
  rm -f gig.bin out.bin cp.bin
}

section_build() {
  echo "== build: the 72 MiB tree from the host, $CORES cores =="
  tree72
  for COMP in gzip xz; do
    read -r a b <<<"$(pair "rm -f o.img && '$RS' mksquashfs tree72 o.img -comp $COMP -b 131072" \
      "rm -f p.img && mksquashfs tree72 p.img -comp $COMP -b 131072 -processors $CORES -noappend -quiet -no-progress")"
    line "mksquashfs $COMP" "$a" "$b" "mksquashfs"
  done
  read -r a b <<<"$(pair "rm -f o.img && '$RS' mkcramfs tree72 o.img" "rm -f p.img && mkfs.cramfs tree72 p.img")"
  line "mkcramfs" "$a" "$b" "mkfs.cramfs"
  rm -f o.img p.img
}

BUILD_ABS=$(dirname "$RS")
for S in $SECTIONS; do "section_$S"; done
