#!/bin/bash
# What one small edit costs against the peer tools, on mixed trees of 24 MiB
# and 72 MiB (text, binary-like and random files of 300 B to 700 KB in 40
# directories), in one run, alternating, median of 3:
#   open+ls ROOT           vs  open of the same image with ROOT typed RAW
#   open+replace+save      vs  extract + copy + rebuild with the peer tools
#   peak RSS of the edit   vs  peak RSS of open+save of the raw-typed image
# for cramfs, squashfs (xz and gzip) and a 32 MiB minifs DATA partition.
# Usage: bench/edit.sh [build-dir] [sizes in MiB...]
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
shift || true
SIZES=${*:-24 72}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsedit.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

. "$HERE/common.sh"
rsb() { printf '%b' "$1" | "$RS"; }   # a batch of commands through the prompt

# Bytes of the ROOT partition's content in a saved image.
root_size() { rm -f root.out; printf 'open %s\ndumppar ROOT root.out\nq\n' "$1" | "$RS" >/dev/null; stat -c %s root.out; }

# How an edit's time splits: the open (load, lazy), writing the image out
# with its fsync (an unedited save), and the rebuild with the change (rest).
split() { # label open save_unedited edit
  printf '%-22s edit split: load %.3fs, write+fsync %.3fs, rebuild %.3fs\n' "$1" "$2" \
    "$(echo "$3 - $2" | bc -l)" "$(echo "$4 - $3" | bc -l)"
}

report() { # label open_fs open_raw edit peer rss_edit rss_raw size_in size_out
  printf '%-22s open+ls %.3fs / raw open %.3fs = %sx (<=1.5) | edit %.3fs / peer %.3fs = %sx | RSS %s/%s KiB = %sx (<=1.5) | size %s -> %s\n' \
    "$1" "$2" "$3" "$(ratio "$2" "$3")" "$4" "$5" "$(ratio "$4" "$5")" "$6" "$7" "$(ratio "$6" "$7")" "$8" "$9"
}

echo hello-edit > small.txt
for MB in $SIZES; do
  rm -rf tree; mkdir tree; N=$(make_tree tree "$MB")
  echo "== tree of $MB MiB, $N files =="
  ONE=$(cd tree && ls d00 | head -1)
  for FS in cramfs sqxz sqgzip; do
    case $FS in
      cramfs) mkfs.cramfs tree fs.img >/dev/null; TYPE=CRAMFS ;;
      sqxz) mksquashfs tree fs.img -comp xz -noappend -quiet -no-progress >/dev/null; TYPE=SQUASHFS ;;
      sqgzip) mksquashfs tree fs.img -comp gzip -noappend -quiet -no-progress >/dev/null; TYPE=SQUASHFS ;;
    esac
    image_of fs.img $TYPE fs.bin; image_of fs.img RAW raw.bin
    A=(); B=(); C=(); D=(); E=(); F=()
    for _ in 1 2 3; do
      A+=("$(timeit rsb "open fs.bin\nls ROOT\nq\n")")
      F+=("$(timeit rsb "open fs.bin\nsave out0.bin\nq\n")")
      B+=("$(timeit rsb "open raw.bin\nq\n")")
      C+=("$(timeit rsb "open fs.bin\nadd ROOT//d00/$ONE small.txt\nsave out.bin\nq\n")")
      case $FS in
        cramfs) D+=("$(timeit sh -c "rm -rf x && fsck.cramfs --extract=x fs.img && cp small.txt x/d00/$ONE && mkfs.cramfs x peer.img")") ;;
        sqxz) D+=("$(timeit sh -c "rm -rf x && unsquashfs -q -d x fs.img && cp small.txt x/d00/$ONE && mksquashfs x peer.img -comp xz -noappend -quiet -no-progress")") ;;
        sqgzip) D+=("$(timeit sh -c "rm -rf x && unsquashfs -q -d x fs.img && cp small.txt x/d00/$ONE && mksquashfs x peer.img -comp gzip -noappend -quiet -no-progress")") ;;
      esac
      case $FS in sq*) E+=("$(timeit rsb "open fs.bin\ncat ROOT//d00/$ONE\nq\n")") ;; esac
    done
    RE=$(rss sh -c "printf 'open fs.bin\nadd ROOT//d00/$ONE small.txt\nsave out.bin\nq\n' | '$RS'")
    RR=$(rss sh -c "printf 'open raw.bin\nsave out2.bin\nq\n' | '$RS'")
    report "$FS" "$(median "${A[@]}")" "$(median "${B[@]}")" "$(median "${C[@]}")" "$(median "${D[@]}")" "$RE" "$RR" \
      "$(stat -c %s fs.img)" "$(root_size out.bin)"
    split "$FS" "$(median "${B[@]}")" "$(median "${F[@]}")" "$(median "${C[@]}")"
    [ ${#E[@]} -gt 0 ] && printf '%-22s open+cat %.3fs = %sx raw open\n' "$FS" "$(median "${E[@]}")" "$(ratio "$(median "${E[@]}")" "$(median "${B[@]}")")"
  done
  # minifs: a 32 MiB DATA partition holding as much of the tree as fits.
  rm -rf mtree; mkdir -p mtree; cp -r tree/d0[0-9] mtree/ 2>/dev/null || true
  while [ "$(du -sm mtree | cut -f1)" -gt 20 ]; do rm -rf "mtree/$(ls mtree | tail -1)"; done
  "$RS" mkminifs mtree fs.img 0x2000000 >/dev/null 2>&1 || true
  image_of fs.img MINIFS fs.bin; image_of fs.img RAW raw.bin
  MONE=$(ls mtree/d00 | head -1)
  A=(); B=(); C=(); D=(); F=()
  for _ in 1 2 3; do
    A+=("$(timeit rsb "open fs.bin\nls ROOT\nq\n")")
    F+=("$(timeit rsb "open fs.bin\nsave out0.bin\nq\n")")
    B+=("$(timeit rsb "open raw.bin\nq\n")")
    C+=("$(timeit rsb "open fs.bin\nadd ROOT//d00/$MONE small.txt\nsave out.bin\nq\n")")
    D+=("$(timeit sh -c "rm -rf x && '$RS' unminifs fs.img x && cp small.txt x/d00/$MONE && '$RS' mkminifs x peer.img 0x2000000")")
  done
  RE=$(rss sh -c "printf 'open fs.bin\nadd ROOT//d00/$MONE small.txt\nsave out.bin\nq\n' | '$RS'")
  RR=$(rss sh -c "printf 'open raw.bin\nsave out2.bin\nq\n' | '$RS'")
  report "minifs 32M" "$(median "${A[@]}")" "$(median "${B[@]}")" "$(median "${C[@]}")" "$(median "${D[@]}")" "$RE" "$RR" \
    "$(stat -c %s fs.img)" "$(root_size out.bin)"
  split "minifs 32M" "$(median "${B[@]}")" "$(median "${F[@]}")" "$(median "${C[@]}")"
  # The squashfs builder alone: every file of the tree is new (put into an
  # image holding only the directories), against mksquashfs with the same
  # compressor, block size and cores.
  for COMP in xz gzip; do
    rm -rf skel; mkdir skel; (cd tree && find . -type d -exec mkdir -p ../skel/{} \;)
    mksquashfs skel fs.img -comp $COMP -b 131072 -noappend -quiet -no-progress >/dev/null
    image_of fs.img SQUASHFS skel.bin $(( (MB + 8) << 20 ))
    { echo "open skel.bin"; (cd tree && find . -type f | sed 's|^\./||' | while read -r f; do echo "add ROOT//$f tree/$f"; done); echo "save new.bin"; } > build.rs
    A=(); B=()
    for _ in 1 2 3; do
      A+=("$(timeit "$RS" -f build.rs)")
      B+=("$(timeit mksquashfs tree peer.img -comp $COMP -b 131072 -processors "$(nproc)" -noappend -quiet -no-progress)")
    done
    printf '%-22s builder, all %s files new: %.3fs / mksquashfs %.3fs = %sx (<=1.0) | size %s / %s\n' "squashfs $COMP" "$N" \
      "$(median "${A[@]}")" "$(median "${B[@]}")" "$(ratio "$(median "${A[@]}")" "$(median "${B[@]}")")" \
      "$(root_size new.bin)" "$(stat -c %s peer.img)"
  done
done
