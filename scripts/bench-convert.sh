#!/usr/bin/env bash
# Converts one 60-second FLV with three profiles through the runner and directly, and prints
# the wall-time ratio and our own CPU time. Usage: scripts/bench-convert.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DTAMBERLO_WERROR=ON
fi
cmake --build "$build" --target bench_convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -hide_banner -nostdin -loglevel error -y \
  -f lavfi -i testsrc=size=320x240:rate=25:duration=60 \
  -f lavfi -i sine=frequency=440:sample_rate=22050:duration=60 \
  -c:v flv -c:a libmp3lame -ar 22050 "$work/clip.flv"
"$build/bench/bench_convert" "$work/clip.flv" "${1:-3}"
