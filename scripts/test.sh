#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   also AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#                                and a clang build replaying the fuzzing corpora (build-fuzz/)
#   scripts/test.sh --tsan       also ThreadSanitizer (build-tsan/)
#   scripts/test.sh --no-windows skips the Windows build: kyrfilter.dll and the
#                                unit tests cross-built with mingw-w64 and run
#                                under Wine (build-win/), which is on by default
#   scripts/test.sh --no-soak    skips the short soak run (scripts/soak.sh 45) that
#                                follows the normal suite
#   scripts/test.sh --no-scaleout  skips the scale-out run (scripts/scaleout-test.sh:
#                                three collectors behind HAProxy, their logs shipped
#                                by rsyslog over RELP) that follows the soak run
# With CI=true the sanitizer build always runs. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
tsan=0
windows=1
soak=1
scaleout=1
[ "${CI:-}" = "true" ] && sanitize=1
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --tsan) tsan=1 ;;
    --no-windows) windows=0 ;;
    --no-soak) soak=0 ;;
    --no-scaleout) scaleout=0 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

if [ "$windows" -eq 1 ] && ! scripts/deps.sh --windows; then
  # A developer machine without root may lack mingw-w64 or Wine: the Linux
  # suites still run. CI must run the Windows build.
  if [ "${CI:-}" = "true" ]; then
    exit 1
  fi
  echo "warning: cannot install the Windows toolchain and Wine; skipping the Windows build" >&2
  windows=0
fi
scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  echo "== configure $dir $*"
  cmake -S . -B "$dir" -G Ninja "$@"
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 300)
}

if [ "$sanitize" -eq 1 ]; then
  # Builds the library with clang too, and replays the fuzzing corpora.
  scripts/fuzz.sh --replay
fi
run_suite build
if [ "$soak" -eq 1 ]; then
  # kyrhost under a mixed load for 45 s (up to 20 s more so that a log
  # rotation falls in the run), then SIGTERM and the checks.
  echo "== soak"
  scripts/soak.sh 45
fi
if [ "$scaleout" -eq 1 ]; then
  # 30,000 hits in 30 s through HAProxy to three collectors, with a
  # collector stopped and the central receiver killed on the way.
  echo "== scale-out"
  scripts/scaleout-test.sh
fi
if [ "$windows" -eq 1 ]; then
  # A throw-away Wine prefix: the tests write to its registry and its C:.
  # The first start in it takes several seconds, paid once here.
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kyr-wine.XXXXXX")
  export WINEPREFIX WINEDEBUG=-all
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  wineboot --init >/dev/null 2>&1 || true
  # The comparison of the DLL with the Linux module uses the build above.
  run_suite build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DKYR_LINUX_BUILD_DIR="$PWD/build"
fi
if [ "$sanitize" -eq 1 ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKYR_SANITIZE=address -DKYR_BUILD_BENCH=OFF
fi
if [ "$tsan" -eq 1 ]; then
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYR_SANITIZE=thread -DKYR_BUILD_BENCH=OFF
fi
