#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. Widget tests run offscreen;
# the whole run sits under a private X server for the tests that need a real display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build=${BUILD_DIR:-build}
xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
