#!/usr/bin/env bash
# Turns the collected hits into one static HTML report with GoAccess.
#   scripts/report.sh [--with-query] [ROOT]
# ROOT is the installation root (default: the demo root run/ that
# scripts/run.sh lays out). The log directory is logrotation's logfiledir in
# ROOT/cfg/kyr.cfg (ZR_CFGFILE names another file there), else ROOT/weblog.
# Every finished log file (*.log) there is read; the report is written to
# ROOT/report/index.html and needs no network to be viewed.
#   --with-query   keeps the page's query in its URL. The collector adds the
#                  visitor's id and the cookie test to it, so every visit
#                  becomes a URL of its own; by default requests are grouped
#                  by page.
# The columns come from the files' #Fields: lines, so files written with
# columns switched off in logfields, or with the hosted model's kyr-id, are
# read as they are. Exits non-zero, saying why, without goaccess or without
# a finished log file holding a hit.
set -euo pipefail

fail() {
  echo "report.sh: $*" >&2
  exit 1
}

with_query=0
root=""
for arg in "$@"; do
  case "$arg" in
    --with-query) with_query=1 ;;
    -h | --help)
      sed -n '2,16p' "$0"
      exit 0
      ;;
    -*)
      echo "report.sh: unknown option: $arg (usage: scripts/report.sh [--with-query] [ROOT])" >&2
      exit 2
      ;;
    *)
      [ -z "$root" ] || fail "only one installation root, please: '$root' and '$arg'"
      root=$arg
      ;;
  esac
done

# Checked before anything else needs a program: bash builtins only.
if ! command -v goaccess >/dev/null 2>&1; then
  fail "goaccess is not installed; install it: apt-get install goaccess (or scripts/deps.sh)"
fi

if [ -z "$root" ]; then
  root="$(cd "$(dirname "$0")/.." && pwd)/run"
fi
[ -d "$root" ] || fail "no installation root at $root (scripts/run.sh lays out the demo root run/)"
root=$(cd "$root" && pwd)

# A setting of the root's configuration as the collector reads it: sections
# and keys ignore letter case, the first non-empty value wins, whole-line
# comments start with '#', ';' or '/', and lines may end in CR LF or CR.
config_value() {
  local file=$1 section=$2 key=$3
  [ -f "$file" ] || return 0
  tr '\r' '\n' <"$file" | sed '1s/^\xef\xbb\xbf//' | awk -v section="$section" -v key="$key" '
    { sub(/^[ \t]+/, ""); sub(/[ \t]+$/, "") }
    /^[#;\/]/ || $0 == "" { next }
    /^\[.*\]$/ { current = tolower(substr($0, 2, length($0) - 2)); next }
    current == section {
      at = index($0, "=")
      if (at == 0) next
      name = substr($0, 1, at - 1); value = substr($0, at + 1)
      sub(/[ \t]+$/, "", name); sub(/^[ \t]+/, "", value)
      # Read to the end: an early exit would break the pipe above.
      if (tolower(name) == key && value != "" && !found) { print value; found = 1 }
    }'
}

logdir=$(config_value "$root/cfg/${ZR_CFGFILE:-kyr.cfg}" logrotation logfiledir)
if [ -z "$logdir" ]; then
  logdir="$root/weblog"
else
  logdir=${logdir//\\//}
  prefix=${logdir:0:9}
  if [ "${prefix,,}" = "%zr_root%" ]; then
    rest=${logdir:9}
    logdir="$root/${rest#/}"
  fi
  logdir=${logdir%/}
  [ -n "$logdir" ] || logdir=/
fi

shopt -s nullglob
files=("$logdir"/*.log)
busy=("$logdir"/*.kyrbusy)
shopt -u nullglob
flush=$(config_value "$root/cfg/${ZR_CFGFILE:-kyr.cfg}" logserver bufferflushrate)
flush_hint="kyrhost writes its buffered hits out every ${flush:-60} seconds (bufferflushrate) and when it stops"
busy_note=""
if [ ${#busy[@]} -gt 0 ]; then
  busy_note=" (${#busy[@]} file(s) still being written, *.kyrbusy: finished at rotation and when kyrhost stops)"
fi
[ ${#files[@]} -gt 0 ] || fail "no finished log file (*.log) in $logdir yet$busy_note; $flush_hint"
# A data line is any line that is neither a header nor empty.
if ! grep -q -v -e '^#' -e $'^\r\\?$' -- "${files[@]}"; then
  fail "the log files in $logdir hold no hit yet$busy_note; $flush_hint"
fi

# The columns every #Fields: line names, in the order the collector writes
# them, and their GoAccess specifiers (GoAccess refuses a line whose time or
# status is "-", so a column some files lack is left out of all). Method and
# protocol are skipped: a tag may send any text there, and GoAccess refuses a
# line whose method or protocol it does not know.
query_spec='%^'
[ "$with_query" -eq 0 ] || query_spec='%q'
known=(date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query sc-status sc-bytes
       cs-version 'cs(User-Agent)' 'cs(Cookie)' 'cs(Referer)' kyr-id)
specs=('%d' '%t' '%h' '%e' '%v' '%^' '%U' "$query_spec" '%s' '%b' '%^' '%u' '%^' '%R' '%^')
mapfile -t headers < <(grep -h '^#Fields:' -- "${files[@]}" | tr -d '\r' | cut -c9- | sort -u)
[ ${#headers[@]} -gt 0 ] || fail "the log files in $logdir have no #Fields: line"
columns=()
format=""
for i in "${!known[@]}"; do
  everywhere=1
  for h in "${headers[@]}"; do
    [[ " $h " == *" ${known[$i]} "* ]] || everywhere=0
  done
  if [ "$everywhere" -eq 1 ]; then
    columns+=("${known[$i]}")
    format+="${format:+ }${specs[$i]}"
  fi
done
# GoAccess needs a date, a client and a page for every line.
for need in "date:logdate" "c-ip:logclientip" "cs-uri-stem:loguristem"; do
  if [[ " ${columns[*]} " != *" ${need%%:*} "* ]]; then
    fail "not every log file in $logdir has the ${need%%:*} column, which GoAccess needs: switch ${need#*:} on in section logfields"
  fi
done

# The lines are rewritten to those columns, each line by the #Fields: line
# above it (logfields may have changed between runs, even within one file);
# an empty value becomes "-", and a line whose values do not match its
# #Fields: is left out and counted. With the query
# kept, "-" (no query) becomes empty, or GoAccess would make it "page?-".
mkdir -p "$root/report"
out="$root/report/index.html"
partial="$root/report/.index.new.html"
skipped="$root/report/.skipped"
trap 'rm -f "$partial" "$skipped"' EXIT
set +e
awk -v columns="${columns[*]}" -v keep_query="$with_query" -v skipped="$skipped" '
  BEGIN { n = split(columns, out, " "); FS = " "; bad = 0; unnamed = 0 }
  { sub(/\r$/, "") }
  /^#Fields:/ {
    delete at
    m = split(substr($0, 9), f, " ")
    for (i = 1; i <= m; i++) at[f[i]] = i
    count[FILENAME] = m
    next
  }
  /^#/ || $0 == "" { next }
  {
    if (!(FILENAME in count)) { unnamed++; next }
    m = split($0, v, / /)
    if (m != count[FILENAME]) { bad++; next }
    line = ""
    for (i = 1; i <= n; i++) {
      c = out[i]
      value = v[at[c]]
      if (value == "") value = "-"
      if (c == "cs-uri-query" && keep_query && value == "-") value = ""
      line = line (i > 1 ? " " : "") value
    }
    print line
  }
  END { print bad + unnamed > skipped }
' "${files[@]}" |
  goaccess - --no-global-config --no-progress --log-format="$format" \
    --date-format='%Y-%m-%d' --time-format='%H:%M:%S' \
    --html-report-title='Tallyspring Data Collector' -o "$partial"
status=("${PIPESTATUS[@]}")
set -e
[ "${status[0]}" -eq 0 ] || fail "could not read the log files in $logdir"
[ "${status[1]}" -eq 0 ] || fail "goaccess failed (exit status ${status[1]}) with --log-format='$format'"
mv -f "$partial" "$out"

left_out=$(cat "$skipped" 2>/dev/null || echo 0)
if [ "${left_out:-0}" -gt 0 ]; then
  echo "report.sh: $left_out line(s) left out: their values do not match their #Fields: line" >&2
fi
echo "Read ${#files[@]} log file(s) in $logdir with --log-format='$format'"
echo "Report: $out"
