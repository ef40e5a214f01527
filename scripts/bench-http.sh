#!/usr/bin/env bash
# Downloads the same 1 GiB file from the same loopback server with THttpCli and with curl, and
# prints both throughputs and their ratio, THttpCli's peak memory for 1 MiB and 1 GiB, and the
# longest gap between ticks of a 10 ms timer in THttpCli's thread during the transfer.
#   scripts/bench-http.sh [build-dir]      (default: build; builds bench_http there)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -d "$build" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_http -j2 >/dev/null
bench="$(find "$build" -name bench_http -type f -perm -u+x | head -1)"

work="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bench" serve > "$work/port" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(head -1 "$work/port")"
gib=$((1 << 30))
mib=$((1 << 20))
url="http://127.0.0.1:$port/file?size="

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }

small="$("$bench" get "${url}$mib" "$work/small.flv")"
rounds=2
best_t=0 best_c=0 gap=0 rss=0
for r in $(seq $rounds); do
  line="$("$bench" get "${url}$gib" "$work/big.flv")"
  rm -f "$work/big.flv"
  t="$(echo "$line" | field mib_per_s)"
  g="$(echo "$line" | field max_gap_ms)"
  m="$(echo "$line" | field peak_rss_kib)"
  c_bps="$(curl -s -o "$work/curl.flv" -w '%{speed_download}' "${url}$gib")"
  rm -f "$work/curl.flv"
  c="$(awk -v b="$c_bps" 'BEGIN { printf "%.1f", b / 1048576 }')"
  echo "round $r: THttpCli $t MiB/s (max gap $g ms, peak RSS $m KiB), curl $c MiB/s"
  best_t="$(awk -v a="$best_t" -v b="$t" 'BEGIN { print (b > a) ? b : a }')"
  best_c="$(awk -v a="$best_c" -v b="$c" 'BEGIN { print (b > a) ? b : a }')"
  gap="$(awk -v a="$gap" -v b="$g" 'BEGIN { print (b > a) ? b : a }')"
  rss="$m"
done
small_rss="$(echo "$small" | field peak_rss_kib)"
echo
echo "throughput THttpCli (best of $rounds): $best_t MiB/s"
echo "throughput curl     (best of $rounds): $best_c MiB/s"
awk -v a="$best_t" -v b="$best_c" 'BEGIN { printf "ratio THttpCli/curl: %.2f (target >= 1.00)\n", a / b }'
echo "peak RSS 1 MiB download: $small_rss KiB"
echo "peak RSS 1 GiB download: $rss KiB"
awk -v a="$small_rss" -v b="$rss" 'BEGIN { d = b - a; printf "difference: %d KiB (target <= 1024)\n", d }'
echo "longest gap between 10 ms ticks during 1 GiB: $gap ms (target <= 50)"
