#!/usr/bin/env bash
# Shows the whole program on a machine without internet: starts the offline video site, starts
# Tamberlo with the site as its system proxy, and copies a few video page addresses to the
# clipboard, where auto copy takes them into the job list (of other sites only the direct link to
# a video file: Paste takes the page of HTML5 video sources as well). Press Start to see them downloaded
# and converted. Closing Tamberlo stops the site.
#   scripts/demo.sh            (TAMBERLO_DEMO_DIR, default ~/tamberlo-demo, holds its files;
#                               TAMBERLO_DEMO_VIDEOS, default its videos/, is the output folder)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
scripts/build.sh --target tamberlo tamberlo_site >/dev/null

home="${TAMBERLO_DEMO_DIR:-$HOME/tamberlo-demo}"
videos="${TAMBERLO_DEMO_VIDEOS:-$home/videos}"
mkdir -p "$videos" "$home/media"
# A copy of its own, so that the demo keeps its settings.ini apart from the build's.
cp build/app/tamberlo "$home/tamberlo"
if [ ! -f "$home/settings.ini" ]; then
  # Download and convert, to "Microsoft Mpeg4 AVI (AVI)", with auto copy on.
  printf '[Options]\nOutputDirectory=%s\nRadioButton=1\nConvertFormat=6\nQuality=0\n\n[Copy]\nEnable=1\n' \
    "$videos" > "$home/settings.ini"
fi

site="" program=""
stop() {
  [ -n "$program" ] && kill "$program" 2>/dev/null || true
  [ -n "$site" ] && kill "$site" 2>/dev/null || true
}
trap stop EXIT INT TERM

# Two-minute clips at about 640 KB/s: slow enough to watch the progress of both stages.
# shellcheck disable=SC2086
build/tests/tamberlo_site --media "$home/media" --clip-seconds 120 --trickle 65536,100 \
  ${TAMBERLO_SITE_ARGS:-} > "$home/site.url" &
site=$!
for _ in $(seq 600); do [ -s "$home/site.url" ] && break; sleep 0.1; done
[ -s "$home/site.url" ] || { echo "the demo site did not start" >&2; exit 1; }
proxy="$(head -1 "$home/site.url")"
# With --https the site names the authority its certificates come from on a second line.
case " ${TAMBERLO_SITE_ARGS:-} " in
  *" --https "*) for _ in $(seq 50); do [ "$(wc -l < "$home/site.url")" -ge 2 ] && break; sleep 0.1; done ;;
esac
ca="$(sed -n 's/^SSL_CERT_FILE=//p' "$home/site.url")"

addresses="http://www.youtube.com/watch?v=Qz3kT0pLmW8
http://www.metacafe.com/watch/1234567/funny_cats_compilation/
http://www.youtube.com/watch?v=Pp4nR7sXc0A
http://files.example.org/clips/Harbour.webm
http://html5.example.org/page/7
http://video.google.com/videoplay?docid=-8120935472634791283"

echo "Demo site: $proxy (the system proxy of this Tamberlo only)"
echo "Videos are stored in: $videos"
echo "Addresses to paste (already copied to the clipboard when a display is there):"
echo "$addresses"

if [ -n "$ca" ]; then
  SSL_CERT_FILE="$ca" http_proxy="$proxy" https_proxy="$proxy" "$home/tamberlo" &
else
  http_proxy="$proxy" "$home/tamberlo" &
fi
program=$!
if [ -n "${DISPLAY:-}" ] && command -v xclip >/dev/null; then
  sleep 2
  printf '%s\n' "$addresses" | xclip -selection clipboard || true
fi
wait "$program" || true
program=""
