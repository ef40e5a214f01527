#!/usr/bin/env bash
# Configures (once) and builds everything into build/, using every core; arguments go to the
# build, e.g. "--target tamberlo" for the program alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DTAMBERLO_WERROR=ON ${CMAKE_EXTRA:-}
fi
cmake --build "$build" -j "$(nproc)" "$@"
