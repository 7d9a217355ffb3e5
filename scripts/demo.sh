#!/bin/sh
# The main job: show what the shell offers.
set -e
BUILD=${1:-build}
"$BUILD/romsmith" help
