#!/usr/bin/env bash
# Builds the reception fuzz target with clang's libFuzzer and runs it for a bounded time.
#   fuzz/run-fuzz.sh [seconds]   (default 60)
# Needs clang-14 and libclang-rt-14-dev (scripts/install-deps.sh). Crashes land in
# build-fuzz/artifacts/; new inputs in build-fuzz/corpus/ (the seed corpus stays untouched).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
out="$root/build-fuzz"
mkdir -p "$out/corpus" "$out/artifacts"
cxx="$(command -v clang++-14 || command -v clang++)"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/fuzz/HttpReceptionFuzz.cpp" "$root/http/HttpReception.cpp" \
  "$root/common/Text.cpp" -o "$out/http_reception_fuzz"
"$out/http_reception_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -artifact_prefix="$out/artifacts/" "$out/corpus" "$root/fuzz/corpus/http_reception"
