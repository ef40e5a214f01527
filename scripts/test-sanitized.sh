#!/usr/bin/env bash
# Builds the layers below the windows with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs their test programs: byte parsers, sockets, the HTTP client and the converter runner.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
suites=(test_common test_platform test_http test_convert test_retrieval)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DTAMBERLO_WERROR=ON -DTAMBERLO_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$(nproc)" --target "${suites[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
status=0
for suite in "${suites[@]}"; do
  echo "== $suite (sanitized)"
  "$build/tests/$suite" --gtest_brief=1 || status=1
done
exit $status
