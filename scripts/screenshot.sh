#!/usr/bin/env bash
# Starts the built program under a private X server and saves a screenshot of the whole screen.
# usage: scripts/screenshot.sh OUT.png [seconds to wait] [xdotool commands run before the shot...]
set -euo pipefail
out=$1; wait=${2:-2}; shift $(( $# >= 2 ? 2 : 1 ))
cd "$(dirname "$0")/.."
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  build/app/tamberlo & pid=$!
  sleep '"$wait"'
  for cmd in "$@"; do eval "$cmd"; sleep 0.7; done
  xwd -root -silent | convert xwd:- "'"$out"'"
  kill $pid 2>/dev/null; wait $pid 2>/dev/null || true
' _ "$@"
