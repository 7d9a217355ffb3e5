#!/bin/sh
# A 32 MiB JFFS2 ROOT (zlib, 64 KiB erase blocks) holding a ~20 MiB mixed tree,
# in a flash image; median of 3 in one run, ratios printed:
#   open + ls                     against open of the same image typed RAW
#   open + put one small file + save  against extracting the tree and mkfs.jffs2
#                                 of the edited tree (the extraction is a `cp -a`
#                                 of the host tree, cheaper than any reader)
#   peak RSS of that edit         against open + save of the RAW-typed image
set -e
BUILD=${1:-build}
ROMSMITH=$(realpath "$BUILD/romsmith")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsjffs2.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
python3 - <<'PY'
import os, random
r = random.Random(1)
words = [("w%d" % i) * (1 + i % 5) for i in range(500)]
for d in range(60):
    p = "tree/d%02d/sub%d" % (d, d % 7)
    os.makedirs(p, exist_ok=True)
    for f in range(35):  # small text files
        with open("%s/t%03d.conf" % (p, f), "w") as o:
            o.write(" ".join(r.choice(words) for _ in range(300)))
for i in range(30):  # binaries that do not compress
    with open("tree/d%02d/bin%d" % (i, i), "wb") as o:
        o.write(r.randbytes(250000))
for i in range(25):  # large compressible files
    with open("tree/d%02d/log%d.txt" % (i, i), "w") as o:
        o.write("\n".join("%d %s" % (j, r.choice(words)) for j in range(40000)))
PY
echo "changed" > small.txt
mkfs.jffs2 -l -e 64KiB -r tree -o root.jffs2
printf 'table_version 4\nBOOT NULL true RAW ro 0 0 0 0x10000\nROOT root.jffs2 true %s rw 0 0 0x10000 0x2000000\nTABLE NULL false RAW ro 0 0 0x2010000 0x10000\n' JFFS2 > j.conf
sed 's/ JFFS2 / RAW /' j.conf > r.conf
"$ROMSMITH" mkflash j.conf j.bin >/dev/null
"$ROMSMITH" mkflash r.conf r.bin >/dev/null
echo "tree $(du -sm --apparent-size tree | cut -f1) MiB, image $(du -m root.jffs2 | cut -f1) MiB"

now() { date +%s.%N; }
median() { tr ' ' '\n' | grep . | sort -n | sed -n 2p; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
open_ls=""; open_raw=""; edit=""; peer=""; rss_edit=""; rss_raw=""
for _ in 1 2 3; do
  t0=$(now); "$ROMSMITH" -c "open j.bin; ls ROOT" >/dev/null 2>&1; t1=$(now)
  "$ROMSMITH" -c "open r.bin" >/dev/null 2>&1; t2=$(now)
  "$ROMSMITH" -c "open j.bin; put ROOT/d03/sub3/t007.conf small.txt; save e.bin" >/dev/null 2>&1; t3=$(now)
  rm -rf edited; cp -a tree edited; cp small.txt edited/d03/sub3/t007.conf
  mkfs.jffs2 -l -e 64KiB -r edited -o peer.jffs2; t4=$(now)
  open_ls="$open_ls $(echo "$t1 - $t0" | bc -l)"; open_raw="$open_raw $(echo "$t2 - $t1" | bc -l)"
  edit="$edit $(echo "$t3 - $t2" | bc -l)"; peer="$peer $(echo "$t4 - $t3" | bc -l)"
  rss_edit="$rss_edit $(rss "$ROMSMITH" -c "open j.bin; put ROOT/d03/sub3/t007.conf small.txt; save e.bin")"
  rss_raw="$rss_raw $(rss "$ROMSMITH" -c "open r.bin; save e2.bin")"
done
a=$(echo $open_ls | median); b=$(echo $open_raw | median)
printf 'open+ls %.3f s, open typed RAW %.3f s, ratio %.2f (goal <= 1.5)\n' "$a" "$b" "$(echo "$a / $b" | bc -l)"
a=$(echo $edit | median); b=$(echo $peer | median)
printf 'open+put+save %.3f s, extract+mkfs.jffs2 %.3f s, ratio %.3f (goal <= 0.1)\n' "$a" "$b" "$(echo "$a / $b" | bc -l)"
a=$(echo $rss_edit | median); b=$(echo $rss_raw | median)
printf 'edit peak RSS %d KiB, RAW open+save %d KiB, ratio %.2f (goal <= 1.5)\n' "$a" "$b" "$(echo "$a / $b" | bc -l)"
