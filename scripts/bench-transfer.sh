#!/usr/bin/env bash
# The video file transfer beside curl and aria2c (Debian's aria2, installed by hand: it is no
# dependency of the program).
#  1. One file of 32 MiB from the offline site at 2 MiB/s per connection, as video servers
#     throttle: the whole program (its windows, mode 0) with 1, 4 and 8 connections, curl, and
#     aria2c -x4 -s4. Prints the wall seconds and each one's speed over curl's.
#  2. One file of 1 GiB on loopback without limits: the program, the bare client (bench_http)
#     and curl, in wall and CPU seconds per GiB.
#   scripts/bench-transfer.sh [build-dir]      (default: build; builds what it needs there)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_run bench_http tamberlo_site -j2 >/dev/null
command -v aria2c >/dev/null || { echo "aria2c is missing (apt-get install aria2)" >&2; exit 1; }

work="$(mktemp -d)"
site=""
stop_site() { [ -n "$site" ] && kill "$site" 2>/dev/null && wait "$site" 2>/dev/null || true; site=""; }
trap 'stop_site; rm -rf "$work"' EXIT

start_site() {  # start_site ARGS...: the offline site, its address in http_proxy
  "$build/tests/tamberlo_site" "$@" > "$work/site" &
  site=$!
  for _ in $(seq 600); do [ -s "$work/site" ] && break; sleep 0.1; done
  export http_proxy="$(head -1 "$work/site")"
}

page="http://www.youtube.com/watch?v=bench00001"
url="http://www.youtube.com/get_video?video_id=bench00001&t=tok"
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" | tail -1; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# timed NAME COMMAND...: runs it, keeps "wall user+sys" seconds in $work/NAME.
timed() {
  local name="$1"; shift
  local TIMEFORMAT="%R %U %S"
  { time "$@" >/dev/null 2>&1; } 2> "$work/$name.time"
  awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$work/$name.time" > "$work/$name"
}

# program N: the whole program with N connections, the file into $work/program.
program() {
  rm -rf "$work/program"; mkdir -p "$work/program"
  printf '[Options]\nConnections=%s\n' "$1" > "$work/program/settings.ini"
  QT_QPA_PLATFORM=offscreen "$build/bench/bench_run" "$work/program" "$page" > "$work/program.out"
  ls "$work/program" | grep -q '\.flv$' || { echo "the program stored no file" >&2; exit 1; }
}
# timed_program NAME N: as timed, the wall seconds those of the transfer (from Start, without
# the program's own start).
timed_program() {
  timed "$1" program "$2"
  local wall; wall="$(field total_seconds < "$work/program.out")"
  awk -v w="$wall" '{ printf "%.2f %.2f\n", w, $2 }' "$work/$1" > "$work/$1.new"
  mv "$work/$1.new" "$work/$1"
}
curl_get() { curl -s -o "$work/curl.bin" "$url"; }
aria_get() {
  rm -f "$work/aria.bin"
  aria2c -q -x4 -s4 -k1M --allow-overwrite=true --file-allocation=none \
    --all-proxy="$http_proxy" -d "$work" -o aria.bin "$url"
}

echo "1. 32 MiB at 2 MiB/s per connection:"
start_site --blob-mib 32 --bench-pages 1 --ranges --rate 2097152
for n in 1 4 8; do timed_program "p$n" "$n"; done
timed curl curl_get
timed aria aria_get
stop_site
c="$(cut -d' ' -f1 "$work/curl")"
for row in "program, 1 connection:p1" "program, 4 connections:p4" "program, 8 connections:p8" \
           "aria2c -x4 -s4:aria" "curl:curl"; do
  name="${row%%:*}" file="${row##*:}"
  awk -v n="$name" -v s="$(cut -d' ' -f1 "$work/$file")" -v c="$c" \
    'BEGIN { printf "  %-24s %7.2f s   %5.2f x curl\n", n, s, c / s }'
done
awk -v p="$(cut -d' ' -f1 "$work/p4")" -v c="$c" -v a="$(cut -d' ' -f1 "$work/aria")" 'BEGIN {
  printf "  4 connections / curl: %.2f x (target >= 3.5); beside aria2c: %.2f (target >= 1.00)\n",
    c / p, a / p }'

echo "2. 1 GiB on loopback without limits (wall s, CPU s per GiB):"
start_site --blob-mib 1024 --bench-pages 1 --ranges
timed_program p4big 4
timed_program p1big 1
timed client "$build/bench/bench_http" get "$url" "$work/client.bin"
rm -f "$work/client.bin"
timed curlbig curl_get
rm -f "$work/curl.bin"
stop_site
for row in "program, 4 connections:p4big" "program, 1 connection:p1big" \
           "bare client (bench_http):client" "curl:curlbig"; do
  name="${row%%:*}" file="${row##*:}"
  read -r wall cpu < "$work/$file"
  printf "  %-32s wall %6.2f s   CPU %6.2f s\n" "$name" "$wall" "$cpu"
done
awk -v p="$(cut -d' ' -f2 "$work/p1big")" -v c="$(cut -d' ' -f2 "$work/curlbig")" \
    -v w="$(cut -d' ' -f1 "$work/p1big")" -v cw="$(cut -d' ' -f1 "$work/curlbig")" 'BEGIN {
  printf "  program (1 connection) / curl: wall %.2f, CPU %.2f (target <= 1.00)\n", w / cw, p / c }'
