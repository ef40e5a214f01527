#!/usr/bin/env bash
# Downloads the same 20 files of 16 MiB from the offline site three ways, one after another:
# through the whole program (its windows, mode 0, the site as system proxy), with the bare HTTP
# client (bench_http), and with curl. Prints the three times, their ratios, the longest gap of
# the window's event loop and the program's memory after the 1st and the 20th file.
#   scripts/bench-run.sh [build-dir]      (default: build; builds what it needs there)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_run bench_http tamberlo_site -j2 >/dev/null
files=20 mib=16

work="$(mktemp -d)"
site=""
cleanup() {
  [ -n "$site" ] && kill "$site" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tests/tamberlo_site" --blob-mib "$mib" --bench-pages "$files" > "$work/site" &
site=$!
for _ in $(seq 100); do [ -s "$work/site" ] && break; sleep 0.1; done
export http_proxy="$(head -1 "$work/site")"

pages=() urls=()
for i in $(seq "$files"); do
  id="$(printf 'bench%05d' "$i")"
  pages+=("http://www.youtube.com/watch?v=$id")
  urls+=("http://www.youtube.com/get_video?video_id=$id&t=tok")
done
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" | tail -1; }

mkdir -p "$work/program" "$work/client" "$work/curl"
program="$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_run" "$work/program" "${pages[@]}")"
[ "$(ls "$work/program" | grep -c '\.flv$')" -eq "$files" ] || { echo "the program stored too few files" >&2; exit 1; }
rm -f "$work"/program/*.flv

pairs=()
for i in "${!urls[@]}"; do pairs+=("${urls[$i]}" "$work/client/$i.flv"); done
client="$("$build/bench/bench_http" get "${pairs[@]}")"
rm -f "$work"/client/*.flv

start="$(date +%s.%N)"
for i in "${!urls[@]}"; do curl -s -o "$work/curl/$i.flv" "${urls[$i]}"; rm -f "$work/curl/$i.flv"; done
curl_s="$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')"

program_s="$(echo "$program" | field total_seconds)"
client_s="$(echo "$client" | field total_seconds)"
gap="$(echo "$program" | grep '^total' | field max_gap_ms)"
rss1="$(echo "$program" | grep '^file=1 ' | field rss_kib)"
rssN="$(echo "$program" | grep "^file=$files " | field rss_kib)"
echo "$files files of $mib MiB, one after another, through the offline site:"
echo "  whole program (windows, mode 0): $program_s s"
echo "  bare client (bench_http):        $client_s s"
echo "  curl:                            $curl_s s"
awk -v p="$program_s" -v c="$client_s" -v u="$curl_s" 'BEGIN {
  printf "  program / bare client: %.2f (target <= 1.10)\n", p / c
  printf "  program / curl:        %.2f (target < 1.00)\n", p / u }'
echo "  longest gap of the window's event loop: $gap ms (target <= 50)"
echo "  program memory after file 1: $rss1 KiB, after file $files: $rssN KiB (target: flat)"
