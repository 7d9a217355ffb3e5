# Shared by the bench scripts (bash): timing, medians, ratios, the mixed trees
# and a flash image around one file-system image.

now() { date +%s.%N; }
timeit() { local t0 t1; t0=$(now); "$@" >/dev/null 2>&1 || true; t1=$(now); echo "$t1 - $t0" | bc -l; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

# A mixed tree of about MiB mebibytes: text, binary-like and random files of
# 300 B to 700 KB in 40 directories; prints the file count.
make_tree() { # dir MiB
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, mib = sys.argv[1], int(sys.argv[2])
rnd = random.Random(mib)
words = b"box flash image kernel root data table channel tuner remote panel key map ".split()
total, n = 0, 0
while total < mib << 20:
    d = os.path.join(root, "d%02d" % (n % 40)); os.makedirs(d, exist_ok=True)
    size = int(rnd.uniform(300, 700 * 1024) ** 1.0) if rnd.random() < 0.3 else rnd.randint(300, 64 * 1024)
    kind = n % 3
    if kind == 0:   data = b" ".join(rnd.choice(words) for _ in range(size // 5))[:size]
    elif kind == 1: data = bytes((i * 7 + (i >> 8)) & 0xFF if i % 64 else rnd.randrange(256) for i in range(size))
    else:           data = rnd.randbytes(size)
    open(os.path.join(d, "f%05d.bin" % n), "wb").write(data)
    total += size; n += 1
print(n)
PY
}

# COUNT files of 100 to 2 000 bytes in 1 000 directories, reproducibly.
make_many() { # dir count
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rnd = random.Random(count)
for i in range(count):
    d = os.path.join(root, "d%03d" % (i % 1000)); os.makedirs(d, exist_ok=True)
    open(os.path.join(d, "f%06d" % i), "wb").write(rnd.randbytes(rnd.randint(100, 2000)))
PY
}

# flash image OUT: BOOT, TABLE and ROOT holding FS_IMAGE typed TYPE.
image_of() { # fs-image type out.bin [partition bytes]
  local sz; sz=$(stat -c %s "$1")
  local part=${4:-$(( (sz / 65536 + 16) * 65536 ))}
  cat > img.conf <<CONF
table_version 4
crc32 true
BOOT boot.bin true RAW ro 0 0 0 0x10000
TABLE NULL false RAW ro 0 0 0x10000 0x10000
ROOT $(basename "$1") true $2 ro 0 0 0x20000 $part
CONF
  head -c 40000 /dev/urandom > boot.bin
  "$RS" mkflash img.conf "$3" unchanged_fs >/dev/null
}

# Median of three runs of each of two commands, alternating: "ours peer".
# Each starts with nothing dirty in the page cache: one side's unsynced
# output would otherwise be written back while the other side runs, on its
# time and against its own writes. CLEAN names outputs removed before each
# command, so that neither inherits the other's: a save that replaces a file
# frees its pages after writing, cp truncates before (and in a virtual machine
# pages freed a while ago are slow to touch again).
pair() { # "ours" "peer"
  local A=() B=()
  for _ in 1 2 3; do
    [ -z "$CLEAN" ] || rm -f $CLEAN
    sync
    A+=("$(timeit sh -c "$1")")
    [ -z "$CLEAN" ] || rm -f $CLEAN
    sync
    B+=("$(timeit sh -c "$2")")
  done
  echo "$(median "${A[@]}") $(median "${B[@]}")"
}
line() { # label ours peer peer-name
  printf '%-28s %.3fs / %s %.3fs = %sx\n' "$1" "$2" "$4" "$3" "$(ratio "$2" "$3")"
}

# Peak memory of open + ls ROOT of a flash image against 0.3x its size + 30 MB.
rss_line() { # flash image
  local rss_kib size bound
  rss_kib=$(rss "$RS" -c "open $1; ls ROOT")
  size=$(stat -c %s "$1")
  bound=$(( (size * 3 / 10 + 30000000) / 1024 ))
  printf '%-28s peak RSS %s KiB, bound 0.3x image + 30 MB = %s KiB (%sx of it)\n' "" "$rss_kib" "$bound" \
    "$(ratio "$rss_kib" "$bound")"
}
