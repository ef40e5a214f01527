#!/usr/bin/env bash
# Builds the fuzz targets of the byte parsers with clang's libFuzzer and runs each for a bounded
# time: HTTP reception, the page parser, the resolver of other sites' pages, the converter output parser, the proxy variables, the
# browsers' profile and lock files, and the decryption of Chromium's stored cookie values.
#   fuzz/run-fuzz.sh [seconds per target]   (default 60)
# Needs clang-14 and libclang-rt-14-dev (scripts/install-deps.sh). Crashes land in
# build-fuzz/artifacts/; new inputs in build-fuzz/corpus-*/ (the seed corpora stay untouched).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
out="$root/build-fuzz"
mkdir -p "$out/artifacts"
cxx="$(command -v clang++-14 || command -v clang++)"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root")

# name | sources | seed corpus | libraries
targets=(
  "http_reception|fuzz/HttpReceptionFuzz.cpp http/HttpReception.cpp common/Text.cpp|fuzz/corpus/http_reception"
  "page_parser|fuzz/PageParserFuzz.cpp retrieval/PageParser.cpp retrieval/TitleToFileName.cpp http/HttpUrl.cpp common/Global.cpp common/Text.cpp common/StringTable.cpp|tests/fixtures/pages"
  "generic_page|fuzz/GenericPageFuzz.cpp retrieval/GenericPage.cpp retrieval/TitleToFileName.cpp retrieval/TransferPlan.cpp http/HttpUrl.cpp common/VideoUrl.cpp common/Global.cpp common/Text.cpp common/StringTable.cpp|fuzz/corpus/generic_page"
  "output_parser|fuzz/OutputParserFuzz.cpp convert/OutputParser.cpp common/Global.cpp common/Text.cpp|tests/fixtures/convert"
  "proxy|fuzz/ProxyFuzz.cpp common/Proxy.cpp common/Environment.cpp common/Text.cpp|fuzz/corpus/proxy"
  "profiles_ini|fuzz/ProfilesIniFuzz.cpp platform/BrowserProfiles.cpp common/IniFile.cpp common/Text.cpp|fuzz/corpus/profiles_ini"
  "chromium_value|fuzz/ChromiumValueFuzz.cpp platform/ChromiumCrypt.cpp|fuzz/corpus/chromium_value|-lcrypto"
)

for entry in "${targets[@]}"; do
  IFS='|' read -r name sources seeds libs <<<"$entry"
  srcs=()
  for s in $sources; do srcs+=("$root/$s"); done
  echo "== fuzzing $name for ${seconds}s"
  # shellcheck disable=SC2086 # libs is a list of linker flags
  "$cxx" "${flags[@]}" "${srcs[@]}" -o "$out/${name}_fuzz" $libs
  mkdir -p "$out/corpus-$name"
  "$out/${name}_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$name-" "$out/corpus-$name" "$root/$seeds" 2>&1 |
    grep -E "^(#[0-9]+.*DONE|Done|==[0-9]+==ERROR|SUMMARY|stat::number_of_executed_units)" || true
  # A crash leaves an artifact and a failing exit: report it as a failure.
  if compgen -G "$out/artifacts/$name-*" >/dev/null; then
    echo "fuzz target $name found a failing input: $(ls "$out/artifacts/$name-"*)"
    exit 1
  fi
done
