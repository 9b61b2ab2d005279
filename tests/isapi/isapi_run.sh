#!/usr/bin/env bash
# Runs the ISAPI harness's scenarios, each on a fresh root.
#
#   isapi_run.sh check <harness> <module> <workdir> [scenario...]
#       The Linux module alone: the transcript and the files it left must
#       make sense (the harness is not dead code where there is no Wine).
#   isapi_run.sh compare <linux-build-dir> <windows-harness> <windows-module> <workdir> [scenario...]
#       The same scenarios with the Linux module and with the Windows DLL
#       under Wine ($KYR_WINE, else wine): the transcripts must be equal and
#       so must every file the module wrote (same relative names, same bytes;
#       the configuration and the audit file, which hold paths, aside).
#       Exits 77 (skipped) when no Linux build directory is given.
# Without scenarios, all but long-line run. "recover" runs on the root that
# "crash" left, so it comes after it; the files are compared after recover.
set -u

SCENARIOS="cookies hosted rotation crash recover"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run_linux <harness> <module> <scenario> <root> <transcript>
run_linux() {
  "$1" "$2" "$3" "$4" >"$5" 2>"$5.stderr"
}

# The Windows form of an absolute Unix path: Wine's drive Z: is "/".
windows_path() {
  local p=$1
  echo "Z:${p//\//\\}"
}

# run_windows <harness> <module> <scenario> <root> <transcript>
run_windows() {
  ${KYR_WINE:-wine} "$1" "$(windows_path "$2")" "$3" "$(windows_path "$4")" >"$5" 2>"$5.stderr"
}

# The files a run left, relative to its root, sorted; cfg/ and the audit
# file are not output of the hits.
output_files() {
  (cd "$1" && find . -type f ! -path './cfg/*' ! -name '*.audit' | sed 's|^\./||' | LC_ALL=C sort)
}

# Data lines (not "#" header lines) of the files matching a pattern under a root.
data_lines() {
  local root=$1 pattern=$2
  local files
  files=$(cd "$root" && ls $pattern 2>/dev/null)
  [ -z "$files" ] && { echo 0; return; }
  (cd "$root" && cat $files) | tr -d '\r' | grep -vc '^#'
}

expect_in() {  # <file> <text> <what>
  grep -qF -- "$2" "$1" || fail "$3: '$2' not in $(basename "$1")"
}

check_scenario() {
  local s=$1 root=$2 out=$3
  expect_in "$out" "GetFilterVersion -> 1 version=0x40000 flags=0x85043" "$s"
  if [ "$s" = crash ]; then
    grep -q "^TerminateFilter" "$out" && fail "$s: the module was terminated"
    output_files "$root" | grep -q '\.kyrbusy$' || fail "$s: no busy file left behind"
    return  # busy files and reservations are what a crash leaves
  fi
  expect_in "$out" "TerminateFilter -> 1" "$s"
  if grep -q '\.kyrbusy$' <(output_files "$root"); then
    fail "$s: busy files left after TerminateFilter: $(output_files "$root" | grep kyrbusy)"
  fi
  case $s in
    cookies)
      expect_in "$out" "send-response-header status=303 Object Moved" "$s"
      expect_in "$out" "send-response(303) -> 0x8000002" "$s"
      expect_in "$out" "send-response -> 0x8000000" "$s"
      expect_in "$out" "short-buffer HTTP_COOKIE" "$s"
      expect_in "$out" "set-header Expires: Tue, 1 Jan 1980 01:01:01 GMT" "$s"
      [ "$(data_lines "$root" 'weblog/*')" = 4 ] || fail "$s: expected 4 logged hits"
      (cd "$root" && cat weblog/*) | grep -q ' /welcome.html ZR.co_d=192.0.2.7-[0-9.]*&ZR.co=Yes ' ||
        fail "$s: the repeated first visit is not logged with ZR.co=Yes"
      (cd "$root" && cat weblog/*) | grep -q 'ZR.hdr.Accept=image/avif%2Cimage/webp%2C+\*/\*%3Bq%3D0.8' ||
        fail "$s: the Accept header parameter is not logged"
      ;;
    hosted)
      [ "$(data_lines "$root" 'weblog/*.log')" = 2 ] || fail "$s: expected 2 standard-lag hits"
      [ "$(data_lines "$root" 'shortlag/*.log')" = 1 ] || fail "$s: expected 1 short-lag hit"
      [ "$(data_lines "$root" 'realtime/*.log')" = 3 ] || fail "$s: expected 3 real-time hits"
      ls "$root"/log/*.hclf >/dev/null 2>&1 || fail "$s: no hit-count file"
      # Hosted file names end in this machine's name, cut at its first dot.
      local host
      host=$(hostname | cut -d. -f1)
      [ "$(cd "$root" && ls weblog/*-"$host".log 2>/dev/null | wc -l)" = 1 ] ||
        fail "$s: no standard-lag file named for host $host: $(ls "$root"/weblog)"
      ;;
    rotation | long-line)
      local n f
      n=$(ls "$root"/weblog | grep -c '(2)\.log$')
      [ "$n" = 2 ] || fail "$s: expected a second file on each of the two days, found $n"
      n=$(data_lines "$root" 'weblog/*')
      [ "$n" = 14 ] || fail "$s: expected 14 logged hits, found $n"
      for f in "$root"/weblog/*; do
        # Only a file holding one line longer than the limit may pass it.
        if [ "$(stat -c %s "$f")" -gt 1024 ] &&
          [ "$(data_lines "$root" "weblog/$(basename "$f")")" != 1 ]; then
          fail "$s: $(basename "$f") passes 1 KB"
        fi
      done
      ;;
    recover)
      [ "$(data_lines "$root" 'weblog/*.log')" = 3 ] || fail "$s: expected 3 standard-lag hits"
      [ "$(data_lines "$root" 'shortlag/*.log')" = 2 ] || fail "$s: expected 2 short-lag hits"
      [ "$(data_lines "$root" 'realtime/*.log')" = 3 ] || fail "$s: expected 3 real-time hits"
      ;;
  esac
  local empty
  empty=$(cd "$root" && find . -name '*.log' -empty | LC_ALL=C sort | tr '\n' ' ')
  [ -z "$empty" ] || fail "$s: empty log files (not even a header): $empty"
  # Mapped files are cut back to their data: no reservation left as zeros.
  local nul
  nul=$(cd "$root" && find . -name '*.log' -exec grep -lcaP '\x00' {} + 2>/dev/null)
  [ -z "$nul" ] || fail "$s: NUL bytes in $nul"
}

# The first difference between two files: byte, line number, and the line
# from each side with CR made visible.
show_difference() {
  local a=$1 b=$2 where line
  where=$(cmp -- "$a" "$b" 2>&1 | head -1)
  echo "  $where"
  line=$(echo "$where" | sed -n 's/.*line \([0-9]*\).*/\1/p')
  if [ -n "$line" ]; then
    echo "  linux:   $(sed -n "${line}p" "$a" | cat -A | cut -c1-400)"
    echo "  windows: $(sed -n "${line}p" "$b" | cat -A | cut -c1-400)"
  fi
}

compare_scenario() {
  local s=$1 lroot=$2 lout=$3 wroot=$4 wout=$5
  if ! cmp -s "$lout" "$wout"; then
    fail "$s: the transcripts differ (linux, then windows)"
    diff -u "$lout" "$wout" | sed -n '1,40p'
  fi
  local lfiles wfiles
  lfiles=$(output_files "$lroot")
  wfiles=$(output_files "$wroot")
  if [ "$lfiles" != "$wfiles" ]; then
    fail "$s: the runs left different files (linux, then windows)"
    diff -u <(echo "$lfiles") <(echo "$wfiles") | sed -n '3,40p'
  fi
  local f
  while IFS= read -r f; do
    [ -n "$f" ] && [ -f "$wroot/$f" ] || continue
    if ! cmp -s "$lroot/$f" "$wroot/$f"; then
      fail "$s: $f differs"
      show_difference "$lroot/$f" "$wroot/$f"
      return
    fi
  done <<<"$lfiles"
  echo "$s: transcript and $(echo "$lfiles" | grep -c .) files equal"
}

# "recover" continues on the root that "crash" left.
root_of() {
  if [ "$1" = recover ]; then echo crash; else echo "$1"; fi
}

fresh_root() {  # <scenario> <root>
  [ "$1" = recover ] && return
  rm -rf "$2"
  mkdir -p "$2"
}

mode=${1:-}
case $mode in
  check)
    [ $# -ge 4 ] || { echo "usage: $0 check <harness> <module> <workdir> [scenario...]"; exit 2; }
    harness=$2 module=$3 work=$4
    shift 4
    [ $# -gt 0 ] && SCENARIOS="$*"
    for s in $SCENARIOS; do
      root=$work/$(root_of "$s")
      fresh_root "$s" "$root"
      run_linux "$harness" "$module" "$s" "$root" "$work/$s.out" || fail "$s: harness exit $?"
      check_scenario "$s" "$root" "$work/$s.out"
    done
    ;;
  compare)
    [ $# -ge 5 ] || { echo "usage: $0 compare <linux-build-dir> <harness.exe> <module.dll> <workdir> [scenario...]"; exit 2; }
    linux=$2 wharness=$3 wmodule=$4 work=$5
    shift 5
    [ $# -gt 0 ] && SCENARIOS="$*"
    if [ -z "$linux" ]; then
      echo "SKIPPED: no native build to compare with (configure with -DKYR_LINUX_BUILD_DIR=<dir>)"
      exit 77
    fi
    lharness=$linux/bin/kyr_isapi_harness
    lmodule=$linux/bin/libkyrfilter_testclock.so
    for f in "$lharness" "$lmodule"; do
      [ -f "$f" ] || { echo "FAIL: $f missing: build kyr_isapi_harness in $linux"; exit 1; }
    done
    export WINEDEBUG=${WINEDEBUG:--all}
    for s in $SCENARIOS; do
      lroot=$work/linux/$(root_of "$s") wroot=$work/windows/$(root_of "$s")
      lout=$work/linux/$s.out wout=$work/windows/$s.out
      fresh_root "$s" "$lroot"
      fresh_root "$s" "$wroot"
      run_linux "$lharness" "$lmodule" "$s" "$lroot" "$lout" || fail "$s: linux harness exit $?"
      run_windows "$wharness" "$wmodule" "$s" "$wroot" "$wout" || fail "$s: windows harness exit $?"
      check_scenario "$s" "$wroot" "$wout"
      if [ "$s" = crash ]; then
        # What a crash leaves is the platform's (a reservation rounded to its
        # mapping granularity); only the transcript must be the same.
        if ! cmp -s "$lout" "$wout"; then
          fail "$s: the transcripts differ (linux, then windows)"
          diff -u "$lout" "$wout" | sed -n '1,40p'
        fi
        continue
      fi
      compare_scenario "$s" "$lroot" "$lout" "$wroot" "$wout"
    done
    ;;
  *)
    echo "usage: $0 check|compare ..."
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s); transcripts and roots are in ${work}"
  exit 1
fi
echo "all scenarios passed"
