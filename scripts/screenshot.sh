#!/bin/sh
# Builds KeyPorter and the image library, starts the window on a virtual X
# server and saves a picture of the real window.
#   scripts/screenshot.sh [output.png]      (default docs/keyporter.png)
# BUILD_DIR chooses the build folder (default build/).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${1:-$root/docs/keyporter.png}
case $out in /*) ;; *) out=$PWD/$out ;; esac

for tool in cmake xvfb-run xwininfo import; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "screenshot: $tool is missing (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target KeyPorter romsmith
mkdir -p "$(dirname "$out")"

# The program runs from an empty folder of its own, and its log goes there.
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT INT TERM

KP_BIN=$build/KeyPorter KP_OUT=$out KP_RUN=$run \
  xvfb-run -a -s "-screen 0 640x400x24" sh -c '
  cd "$KP_RUN"
  QT_QPA_PLATFORM=xcb "$KP_BIN" >log 2>&1 &
  pid=$!
  id=""
  tries=0
  # Wait for the window to be mapped (at most about ten seconds).
  while [ $tries -lt 100 ]; do
    id=$(xwininfo -root -tree 2>/dev/null | awk "/\"KeyPorter - V1.1\"/ { print \$1; exit }")
    [ -n "$id" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
    tries=$((tries + 1))
  done
  if [ -z "$id" ]; then
    echo "screenshot: the KeyPorter window did not appear" >&2
    cat log >&2
    kill $pid 2>/dev/null
    exit 1
  fi
  sleep 1  # let it finish painting
  status=0
  import -window "$id" "$KP_OUT" || status=$?
  kill $pid 2>/dev/null
  wait $pid 2>/dev/null || true
  exit $status
'
echo "screenshot: $out"
