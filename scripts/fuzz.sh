#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan+UBSan) in build-fuzz/ and
# runs each one.
#   scripts/fuzz.sh [SECONDS]   fuzz each harness for SECONDS (default 60)
#   scripts/fuzz.sh --replay    only replay the stored corpora (fuzz/corpus/*)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

mode=fuzz
seconds=60
case "${1:-}" in
  --replay) mode=replay ;;
  "") ;;
  *) seconds=$1 ;;
esac

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKYR_BUILD_FUZZ=ON -DKYR_SANITIZE=address -DKYR_BUILD_TESTS=OFF -DKYR_BUILD_BENCH=OFF -DKYR_BUILD_HOST=OFF
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for h in fuzz_config fuzz_text fuzz_sitemap fuzz_cookiesettings fuzz_hitcount fuzz_filter fuzz_host; do
  corpus=fuzz/corpus/$h
  mkdir -p "$corpus"
  if [ "$mode" = replay ]; then
    echo "== replay $h"
    build-fuzz/bin/$h -runs=0 "$corpus"
  else
    echo "== fuzz $h for ${seconds}s"
    work=$(mktemp -d)
    build-fuzz/bin/$h -max_total_time="$seconds" -max_len=20000 "$work" "$corpus"
    rm -rf "$work"
  fi
done
