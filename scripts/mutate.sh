#!/bin/sh
# A long, seeded mutation campaign through the real program: every reader
# (flash images of each file-system kind, bare file systems built into an
# image, the table, merge files, flash.conf builds, MiniDB files) gets mutants
# of a valid input, each run time- and memory-limited in a scratch directory of
# its own. Prints the count of each class per reader; exits 1 when a mutant
# crashed, timed out or wrote outside its scratch area, 2 on a usage or set-up
# error. The work itself is fuzz/mutate.py.
# Usage: scripts/mutate.sh [--seed N] [-j N] [--count N] [--keep DIR] [--build DIR]
#          [--secs S] [--mem MiB] [--readers a,b] [--only INDEX] [--keep-all]
#   --seed N     mutants are made from (seed, index): the same seed, the same campaign (default 1)
#   -j N         mutants run at once (default: nproc)
#   --count N    number of mutants (default 100000), spread evenly over the readers
#   --keep DIR   failing mutants go to DIR/<reader>-<index>/ with replay.sh (default mutate-failures)
#   --build DIR  the build whose romsmith runs (default build); an ASan build
#                (ROMSMITH_SANITIZE) reports what the normal one cannot see
#   --secs S     time limit of each step (default 20; 60 in an ASan build)
#   --mem MiB    memory limit of each step (default 2048)
#   --readers    only these readers; --only INDEX: just that mutant (to make one again)
set -e
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=build
KEEP=mutate-failures
SECS=
set -- "$@" --end
ARGS=
while [ "$1" != --end ]; do
  case $1 in
    --build) BUILD=$2; shift 2 ;;
    --keep) KEEP=$2; shift 2 ;;
    --secs) SECS=$2; shift 2 ;;
    --seed | -j | --count | --mem | --readers | --only)
      [ $# -ge 3 ] || { echo "mutate: $1 needs a value" >&2; exit 2; }
      ARGS="$ARGS $1 $2"; shift 2 ;;
    --keep-all) ARGS="$ARGS $1"; shift ;;
    -h | --help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "mutate: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
command -v python3 >/dev/null || { echo "mutate: python3 is needed" >&2; exit 2; }
if [ ! -x "$BUILD/romsmith" ] || [ ! -x "$BUILD/fuzz/fuzz_seeds" ]; then
  [ -f "$BUILD/CMakeCache.txt" ] || { echo "mutate: $BUILD is not a build directory" >&2; exit 2; }
  cmake --build "$BUILD" --target romsmith_cli fuzz_seeds >/dev/null || exit 2
fi
ASAN=
if grep -q '^ROMSMITH_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then
  ASAN=--asan
  SECS=${SECS:-60}
fi
SEEDS=$(mktemp -d "${TMPDIR:-/tmp}/rs_mutate_seeds_XXXXXX")
trap 'rm -rf "$SEEDS"' EXIT INT TERM
"$BUILD/fuzz/fuzz_seeds" "$SEEDS" "$SRC" >/dev/null
# shellcheck disable=SC2086
python3 "$SRC/fuzz/mutate.py" --program "$BUILD/romsmith" --seeds "$SEEDS" --src "$SRC" --keep "$KEEP" \
  --secs "${SECS:-20}" $ASAN $ARGS
