#!/bin/sh
# Builds the libFuzzer harnesses with clang, seeds their corpora and runs them
# one after the other (one fuzzer at a time: the machines are shared).
# Usage: scripts/fuzz.sh [seconds per harness, default 60] [harness ...]
#   harness: fuzz_core_load or just core_load; default: every harness.
#   ROMSMITH_PROGRAM_BUILD: a normal build holding romsmith and rs_mkboot, used
#   to make the whole-image, conf, merge and shell seeds (default: build).
#   ROMSMITH_FUZZ_BUILD: the build directory (default: build-fuzz).
#   ROMSMITH_FUZZ_JOBS: parallel compile jobs for the harnesses (default: 1).
# Findings are left as <build>/<harness>/crash-* (and leak-*, timeout-*).
set -e
SECS=${1:-60}
[ $# -gt 0 ] && shift
B=${ROMSMITH_FUZZ_BUILD:-build-fuzz}
cmake -S . -B $B -G Ninja -DROMSMITH_FUZZ=ON -DROMSMITH_TESTS=OFF -DROMSMITH_GUI=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $B --target fuzzers -j"${ROMSMITH_FUZZ_JOBS:-1}"

# Seeds: what the library writes itself, then the sample image and its parts.
C=$B/corpus
mkdir -p $C
$B/fuzz/fuzz_seeds $C .
for d in core_load simple_load table_read conf_load image_split shell_command squashfs_load cramfs_load \
         minifs_mount minidb_open keyporter_import cramfs_roundtrip squashfs_roundtrip minifs_roundtrip; do
  mkdir -p $C/fuzz_$d
done
# keyporter_import reads [n][n pattern bytes][data]: a panel.xml, and the key
# block signature before the sample's boot loader.
{ printf '\000'; cat examples/rootfs/dvb/theme/panel.xml; } >$C/fuzz_keyporter_import/panel
# A round-trip input is an edit session: here a 69968-byte file, a directory and an empty file.
printf '\000\000\005\160\021\001\002\002\006\003\000\007' >$C/fuzz_cramfs_roundtrip/edit
cp $C/fuzz_cramfs_roundtrip/edit $C/fuzz_minifs_roundtrip/edit
{ printf '\001'; cat $C/fuzz_cramfs_roundtrip/edit; } >$C/fuzz_squashfs_roundtrip/edit
cp examples/flash.conf $C/fuzz_conf_load/sample.conf
printf 'BOOT RAW 0 0x10000 auto boot.bin\n' >$C/fuzz_conf_load/tiny.conf
printf 'ls\nls ROOT\ncat ROOT/etc/issue\nrm ROOT/etc/issue\nhelp ls\nclear DATA\nshowlang\nnosuch x\n' \
  >$C/fuzz_shell_command/lines
if command -v mksquashfs >/dev/null 2>&1; then
  mksquashfs examples/rootfs $C/fuzz_squashfs_load/rootfs4 -noappend -comp xz -quiet >/dev/null 2>&1 || true
fi
PB=${ROMSMITH_PROGRAM_BUILD:-build}
if [ -x "$PB/romsmith" ] && [ -x "$PB/rs_mkboot" ]; then
  IMG=$(scripts/sample.sh "$PB" "$B/sample")
  cp "$IMG" $C/fuzz_core_load/sample.bin
  cp "$IMG" $C/fuzz_simple_load/sample.bin
  cp "$B/sample/root.cramfs" $C/fuzz_cramfs_load/sample.cramfs
  cp "$B/sample/data.minifs" $C/fuzz_minifs_mount/sample.minifs
  [ -f "$B/sample/boot.bin" ] && { printf '\005\004\000\000\054\377'; cat "$B/sample/boot.bin"; } \
    >$C/fuzz_keyporter_import/boot
  (cd "$B/sample" && "$OLDPWD/$PB/romsmith" merge flash.conf sample >/dev/null 2>&1) || true
  [ -f "$B/sample/sample.merge" ] && cp "$B/sample/sample.merge" $C/fuzz_image_split/
  # A small image of the same kinds of partition: libFuzzer keeps inputs under 1 MiB.
  printf '%s\n' 'table_version 4' 'block_size 0x10000' 'table_enable true' 'write_protect false' \
    'crc32 true' 'zlibmode false' 'BOOT  logo.bin    true  RAW    ro 0 1 0x0  0x10000' \
    'TABLE NULL        false RAW    ro 0 0 auto 0x10000' 'ROOT  root.cramfs true  CRAMFS ro 1 5 auto 0x10000' \
    'DATA  data.minifs true  MINIFS rw 0 0 auto 0x40000' >"$B/sample/small.conf"
  "$PB/romsmith" mkflash "$B/sample/small.conf" "$B/sample/small.bin" >/dev/null
  cp "$B/sample/small.bin" $C/fuzz_core_load/small.bin
  cp "$B/sample/small.bin" $C/fuzz_simple_load/small.bin
  export ROMSMITH_FUZZ_IMAGE="$PWD/$B/sample/small.bin"
else
  echo "no $PB/romsmith and $PB/rs_mkboot: whole-image seeds skipped"
fi

opts() {  # harness-specific libFuzzer options: silence what the readers report
  case $1 in
    fuzz_cramfs_load | fuzz_*_roundtrip) echo "-close_fd_mask=3" ;;
    fuzz_core_load | fuzz_simple_load | fuzz_minifs_mount | fuzz_conf_load | fuzz_image_split | \
      fuzz_shell_command | fuzz_squashfs_load | fuzz_table_read) echo "-close_fd_mask=1" ;;
  esac
}

if [ $# -eq 0 ]; then
  set -- $(cd $B/fuzz && ls fuzz_* | grep -v '^fuzz_seeds$' | grep -v '\.')
fi
status=0
for h in "$@"; do
  case $h in fuzz_*) ;; *) h=fuzz_$h ;; esac
  f=$B/fuzz/$h
  [ -x "$f" ] || { echo "no harness $h"; exit 2; }
  echo "== $h"
  mkdir -p $C/$h $B/$h
  # The inputs kept from earlier findings for this harness (the build names their kind).
  kind=$(cat "$f.kind" 2>/dev/null || true)
  set -- "$PWD"/tests/hardening/regress/"$kind"-*
  if [ -n "$kind" ] && [ -e "$1" ]; then
    ASAN_OPTIONS=allocator_may_return_null=1 "$f" -rss_limit_mb=4096 -timeout=10 $(opts "$h") "$@" \
      >$B/$h.regress.log 2>&1 || { tail -40 $B/$h.regress.log; status=1; continue; }
  fi
  # shellcheck disable=SC2046
  # Absolute paths: a harness may change its working directory.
  (cd $B/$h && ASAN_OPTIONS=allocator_may_return_null=1 "../fuzz/$h" -max_total_time="$SECS" \
    -rss_limit_mb=4096 -timeout=10 -artifact_prefix="$PWD/" $(opts "$h") "$OLDPWD/$C/$h") >$B/$h.log 2>&1 ||
    { tail -40 $B/$h.log; status=1; }
  # Executions, then the coverage reached (edges, features, corpus).
  grep -E '^Done [0-9]+ runs' $B/$h.log | tail -1
  grep -E '^#[0-9]+.*cov: ' $B/$h.log | tail -1
done
[ $status -eq 0 ] && echo "no crashes"
exit $status
