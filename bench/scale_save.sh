#!/bin/bash
# What a small edit and its save cost as images grow: on mixed trees of 24, 72
# and 256 MiB (a squashfs ROOT in a flash image, each compressor of COMPS,
# default "xz gzip zstd lz4"), in one run, alternating, median of 3:
#   open + replace one small file + save   vs  cp image out && sync out
#   the same edit with ROMSMITH_SQUASHFS_COMPACT=1 (the whole rebuild)
#   open + save without an edit             vs  the same copy
#   peak RSS of open + ls ROOT              vs  the image size
# and per compressor the slope of (edit+save - copy) in ms per MiB of image.
# Usage: [COMPS="xz lz4"] bench/scale_save.sh [build-dir] [sizes in MiB...]
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
shift || true
SIZES=${*:-24 72 256}
RS=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsscale.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

. "$HERE/common.sh"
ms() { echo "scale=1; $1 * 1000 / 1" | bc -l; }

echo hello-scale > small.txt
COMPS=${COMPS:-xz gzip zstd lz4}
declare -A EDIT COPY MIB
for MB in $SIZES; do
  rm -rf tree; mkdir tree; N=$(make_tree tree "$MB")
  ONE=$(cd tree && ls d00 | head -1)
  for COMP in $COMPS; do
    mksquashfs tree fs.img -comp "$COMP" -noappend -quiet -no-progress >/dev/null
    image_of fs.img SQUASHFS fs.bin
    SIZE=$(stat -c %s fs.bin)
    printf 'open fs.bin\nadd ROOT//d00/%s small.txt\nsave out.bin\nq\n' "$ONE" > edit.cmd
    printf 'open fs.bin\nsave out0.bin\nq\n' > save.cmd
    printf 'open fs.bin\nls ROOT\nq\n' > ls.cmd
    A=(); B=(); C=(); W=()
    # Each command starts with nothing dirty and nothing freed pending in the
    # journal: the outputs removed last round would otherwise be committed by
    # the next fsync, on that command's time.
    for _ in 1 2 3; do
      rm -f cp.bin out.bin out0.bin; sync
      A+=("$(timeit sh -c "'$RS' < edit.cmd")")
      rm -f out.bin; sync
      B+=("$(timeit sh -c "cp fs.bin cp.bin && sync cp.bin")")
      rm -f cp.bin; sync
      W+=("$(timeit sh -c "ROMSMITH_SQUASHFS_COMPACT=1 '$RS' < edit.cmd")")
      rm -f out.bin; sync
      C+=("$(timeit sh -c "'$RS' < save.cmd")")
    done
    rm -f cp.bin out.bin out0.bin
    E=$(median "${A[@]}"); P=$(median "${B[@]}"); U=$(median "${C[@]}"); H=$(median "${W[@]}")
    R=$(rss "$RS" < ls.cmd)
    M=$(echo "scale=3; $SIZE / 1048576" | bc -l)
    EDIT[$COMP.$MB]=$E; COPY[$COMP.$MB]=$P; MIB[$COMP.$MB]=$M
    printf '== %s, tree %s MiB, %s files, image %.1f MiB ==\n' "$COMP" "$MB" "$N" "$M"
    printf 'edit+save %sms / cp+sync %sms = %sx | whole rebuild %sms = %sx | unedited save %sms = %sx | open+ls peak RSS %s KiB = %sx image\n' \
      "$(ms "$E")" "$(ms "$P")" "$(ratio "$E" "$P")" "$(ms "$H")" "$(ratio "$H" "$P")" "$(ms "$U")" "$(ratio "$U" "$P")" \
      "$R" "$(ratio "$R" "$(echo "$SIZE / 1024" | bc)")"
  done
done
set -- $SIZES
FIRST=$1; LAST=${!#}
if [ "$FIRST" != "$LAST" ]; then
  for COMP in $COMPS; do
    printf '%s: slope of (edit+save - cp+sync): %s ms per MiB between %s and %s MiB images\n' "$COMP" \
      "$(echo "scale=2; ((${EDIT[$COMP.$LAST]} - ${COPY[$COMP.$LAST]}) - (${EDIT[$COMP.$FIRST]} - ${COPY[$COMP.$FIRST]})) * 1000 / (${MIB[$COMP.$LAST]} - ${MIB[$COMP.$FIRST]})" | bc -l)" \
      "$(printf %.0f "${MIB[$COMP.$FIRST]}")" "$(printf %.0f "${MIB[$COMP.$LAST]}")"
  done
fi
