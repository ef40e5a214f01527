#!/usr/bin/env bash
# Starts the built program under a private X server with a window manager and saves a
# screenshot of the whole screen.
# usage: scripts/screenshot.sh OUT.png [seconds to wait] [shell commands run before the shot...]
# The commands may use $MAIN, the main window's X id, e.g.
#   "xdotool mousemove --window \$MAIN 230 390 click 1"   (client coordinates)
# and may take shots of their own with "import -window root FILE.png".
# The program runs from a copy with settings of its own, so that the output folder shown is
# TAMBERLO_SHOT_FOLDER (default /home/user/Videos), not the developer's.
# With TAMBERLO_DEMO=1 the program is started by scripts/demo.sh, against the offline site, in a
# fresh demo folder; its videos go to TAMBERLO_SHOT_FOLDER, which must then exist. The README's
# pictures are taken as root with a private /home:
#   unshare -m sh -c 'mount -t tmpfs tmpfs /home && mkdir -p /home/user/Videos &&
#                     TAMBERLO_DEMO=1 scripts/screenshot.sh ...'
set -euo pipefail
out=$1; wait=${2:-2}; shift $(( $# >= 2 ? 2 : 1 ))
cd "$(dirname "$0")/.."
folder=${TAMBERLO_SHOT_FOLDER:-/home/user/Videos}
shot=$(mktemp -d)
trap 'rm -rf "$shot"' EXIT
if [ "${TAMBERLO_DEMO:-}" = 1 ]; then
  export TAMBERLO_DEMO_DIR="$shot" TAMBERLO_DEMO_VIDEOS="$folder"
else
  cp build/app/tamberlo "$shot/tamberlo"
  printf '[Options]\nOutputDirectory=%s\n' "$folder" > "$shot/settings.ini"
fi
SHOT="$shot" xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  openbox >/dev/null 2>&1 & sleep 0.5
  if [ "${TAMBERLO_DEMO:-}" = 1 ]; then scripts/demo.sh >/dev/null & else "$SHOT/tamberlo" & fi
  pid=$!
  sleep '"$wait"'
  MAIN=$(xdotool search --name "^Tamberlo 1.6$" | head -1)
  for cmd in "$@"; do eval "$cmd"; sleep 0.7; done
  import -window root "'"$out"'"
  kill $pid 2>/dev/null; wait $pid 2>/dev/null || true
' _ "$@"
