#!/bin/sh
# The main job: build the bundled sample image and show it.
set -e
BUILD=${1:-build}
IMAGE=$(scripts/sample.sh "$BUILD")
echo "built $IMAGE"
printf 'open %s\nls\nls ROOT\nls DATA\ncat ROOT//dvb/theme/language/language\nq\n' "$IMAGE" | "$BUILD/romsmith"
echo
