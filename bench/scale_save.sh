#!/bin/bash
# What a small edit and its save cost as images grow: on mixed trees of 24, 72
# and 256 MiB (squashfs xz ROOT in a flash image), in one run, alternating,
# median of 3:
#   open + replace one small file + save   vs  cp image out && sync out
#   open + save without an edit             vs  the same copy
#   peak RSS of open + ls ROOT              vs  the image size
# and the slope of (edit+save - copy) in ms per MiB of image.
# Usage: bench/scale_save.sh [build-dir] [sizes in MiB...]
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
declare -A EDIT COPY MIB
for MB in $SIZES; do
  rm -rf tree; mkdir tree; N=$(make_tree tree "$MB")
  mksquashfs tree fs.img -comp xz -noappend -quiet -no-progress >/dev/null
  image_of fs.img SQUASHFS fs.bin
  ONE=$(cd tree && ls d00 | head -1)
  SIZE=$(stat -c %s fs.bin)
  printf 'open fs.bin\nadd ROOT//d00/%s small.txt\nsave out.bin\nq\n' "$ONE" > edit.cmd
  printf 'open fs.bin\nsave out0.bin\nq\n' > save.cmd
  printf 'open fs.bin\nls ROOT\nq\n' > ls.cmd
  sync
  A=(); B=(); C=()
  for _ in 1 2 3; do
    A+=("$(timeit sh -c "'$RS' < edit.cmd")")
    B+=("$(timeit sh -c "cp fs.bin cp.bin && sync cp.bin")")
    C+=("$(timeit sh -c "'$RS' < save.cmd")")
    rm -f cp.bin out.bin out0.bin
  done
  E=$(median "${A[@]}"); P=$(median "${B[@]}"); U=$(median "${C[@]}")
  R=$(rss "$RS" < ls.cmd)
  M=$(echo "scale=3; $SIZE / 1048576" | bc -l)
  EDIT[$MB]=$E; COPY[$MB]=$P; MIB[$MB]=$M
  printf '== tree %s MiB, %s files, image %.1f MiB ==\n' "$MB" "$N" "$M"
  printf 'edit+save %sms / cp+sync %sms = %sx | unedited save %sms = %sx | open+ls peak RSS %s KiB = %sx image\n' \
    "$(ms "$E")" "$(ms "$P")" "$(ratio "$E" "$P")" "$(ms "$U")" "$(ratio "$U" "$P")" "$R" \
    "$(ratio "$R" "$(echo "$SIZE / 1024" | bc)")"
done
set -- $SIZES
FIRST=$1; LAST=${!#}
if [ "$FIRST" != "$LAST" ]; then
  printf 'slope of (edit+save - cp+sync): %s ms per MiB between %s and %s MiB images\n' \
    "$(echo "scale=2; ((${EDIT[$LAST]} - ${COPY[$LAST]}) - (${EDIT[$FIRST]} - ${COPY[$FIRST]})) * 1000 / (${MIB[$LAST]} - ${MIB[$FIRST]})" | bc -l)" \
    "$(printf %.0f "${MIB[$FIRST]}")" "$(printf %.0f "${MIB[$LAST]}")"
fi
