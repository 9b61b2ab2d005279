#!/usr/bin/env bash
# The Debian package, built with CPack from a configured build whose kyrhost
# and module are built:
#   package_test.sh BUILDDIR WORKDIR
# checks the files it ships and their control data, the cookie-key helper
# the first installation runs, the systemd unit (systemd-analyze, against
# the package's own tree), and that the packaged kyrhost, started through
# its /usr/sbin link on a root laid out as postinst lays it out, collects a
# tag hit and writes it out when stopped with SIGTERM.
# Exit status 0: passed; 1: failed; 77: skipped (a tool is missing, not CI).
set -uo pipefail

build=$(realpath "$1")
work=$2
name=tallyspring-collector
src=$(realpath "$(dirname "$0")/../..")

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in cpack dpkg-deb dpkg-shlibdeps systemd-analyze curl readelf; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    [ "${CI:-}" = true ] && die "$tool is missing (scripts/deps.sh installs it)"
    echo "SKIP: $tool is missing (scripts/deps.sh installs it)"
    exit 77
  fi
done

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
host_pid=
trap '[ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null' EXIT

# --- the package builds -----------------------------------------------------
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.txt" 2>&1; then
  cat "$work/cpack.txt" >&2
  die "cpack failed"
fi
debs=("$work"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  die "cpack made no single .deb: ${debs[*]}"
fi
deb=${debs[0]}
case "$(basename "$deb")" in
  ${name}_[0-9]*-1_*.deb) ;;
  *) fail "package file name $(basename "$deb")" ;;
esac

# --- contents: exactly these files and links --------------------------------
expected="./etc/$name/kyr.cfg
./etc/default/$name
./lib/systemd/system/$name.service
./usr/lib/$name/kyrhost
./usr/lib/$name/libkyrfilter.so
./usr/lib/$name/new-cookie-key
./usr/sbin/kyrhost -> ../lib/$name/kyrhost
./usr/share/$name/www/index.html
./usr/share/$name/www/kyrtag.js
./usr/share/$name/www/zr_kyr.gif
./usr/share/doc/$name/README.Debian"
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  fail "package contents differ (expected, actual):"
  diff <(sort <<<"$expected") <(echo "$actual") >&2
fi

dpkg-deb -x "$deb" "$work/tree" || die "dpkg-deb -x failed"
tree=$work/tree
for exe in usr/lib/$name/kyrhost usr/lib/$name/new-cookie-key; do
  [ -x "$tree/$exe" ] || fail "/$exe is not executable"
done
# Shipped stripped, whatever the build type.
for bin in usr/lib/$name/kyrhost usr/lib/$name/libkyrfilter.so; do
  if readelf -S "$tree/$bin" | grep -q '\.debug_info'; then
    fail "/$bin carries debug information"
  fi
done

# --- control data -------------------------------------------------------------
dpkg-deb -e "$deb" "$work/control" || die "dpkg-deb -e failed"
conffiles=$(sort "$work/control/conffiles" 2>/dev/null)
[ "$conffiles" = "$(printf '/etc/%s/kyr.cfg\n/etc/default/%s' "$name" "$name" | sort)" ] ||
  fail "conffiles: $conffiles"
for script in postinst prerm postrm; do
  if [ ! -x "$work/control/$script" ]; then
    fail "no executable $script"
  elif ! sh -n "$work/control/$script"; then
    fail "$script is not valid sh"
  elif grep -Eq '^[a-z]+=/?$|^unit=\.service$' "$work/control/$script"; then
    fail "$script names an empty user, path or unit: $(grep -E '^[a-z]+=' "$work/control/$script")"
  fi
done
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || fail "Package: $(field Package)"
# The project's version, which kyrhost reports.
version=$("$build/bin/kyrhost" --version | sed -n 's/^kyrhost //p')
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version), kyrhost $version"
[[ "$(field Maintainer)" =~ ^.+\ \<.+@.+\>$ ]] || fail "Maintainer: $(field Maintainer)"
for dep in 'libc6 (>= ' 'libstdc++6' 'libssl3' 'passwd'; do
  [[ "$(field Depends)" == *"$dep"* ]] || fail "Depends lacks $dep: $(field Depends)"
done

# --- the packaged configuration ----------------------------------------------
cfg=$tree/etc/$name/kyr.cfg
diff "$src/conf/kyr.cfg" "$cfg" >"$work/cfg.diff"
changed=$(grep -c '^>' "$work/cfg.diff")
if [ "$changed" -ne 2 ] || ! grep -qx '> auditlimitbysize = true' "$work/cfg.diff" ||
  ! grep -qx '> auditlimitbysizemethod = truncate' "$work/cfg.diff"; then
  fail "packaged kyr.cfg differs from conf/kyr.cfg by more than the audit file limit:"
  cat "$work/cfg.diff" >&2
fi

# --- new-cookie-key: the first installation's key ------------------------------
keytool=$tree/usr/lib/$name/new-cookie-key
key_of() { sed -n 's/^magiccode = \([^\r]*\)\r\{0,1\}$/\1/p' "$1"; }
k=$work/key
mkdir -p "$k"
# A copy of the packaged file: one key of 32 upper-case hexadecimal digits,
# signed cookies, every other line and the file's mode kept.
cp "$cfg" "$k/kyr.cfg" && chmod 0640 "$k/kyr.cfg"
if ! "$keytool" "$k/kyr.cfg" >/dev/null; then
  fail "new-cookie-key failed on the packaged kyr.cfg"
else
  key1=$(key_of "$k/kyr.cfg")
  [[ "$key1" =~ ^[0-9A-F]{32}$ ]] || fail "new key '$key1' is not 32 upper-case hex digits"
  grep -qx 'cookieversion = 2' "$k/kyr.cfg" || fail "cookieversion not set to 2"
  [ "$(diff "$cfg" "$k/kyr.cfg" | grep -c '^>')" -eq 2 ] || fail "new-cookie-key changed other lines"
  [ "$(stat -c %a "$k/kyr.cfg")" = 640 ] || fail "new-cookie-key changed the mode to $(stat -c %a "$k/kyr.cfg")"
  "$keytool" "$k/kyr.cfg" >/dev/null || fail "second new-cookie-key failed"
  [ "$(key_of "$k/kyr.cfg")" != "$key1" ] || fail "a second run kept the key"
fi
# Keys written in another case and spacing, CR LF line ends: replaced, ends kept.
printf '[cookieserver]\r\n  CookieVersion=1\r\nMagicCode  =  OLD\r\n' >"$k/crlf.cfg"
if "$keytool" "$k/crlf.cfg" >/dev/null; then
  [[ "$(key_of "$k/crlf.cfg")" =~ ^[0-9A-F]{32}$ ]] || fail "CR LF file: key not replaced: $(cat -A "$k/crlf.cfg")"
  [ "$(grep -c $'\r$' "$k/crlf.cfg")" -eq 3 ] || fail "CR LF file lost its line ends: $(cat -A "$k/crlf.cfg")"
  grep -q '^cookieversion = 2'$'\r''$' "$k/crlf.cfg" || fail "CR LF file: cookieversion not set"
else
  fail "new-cookie-key failed on a CR LF file"
fi
# Refusals leave the file as it was and nothing beside it.
printf '[cookieserver]\ncookieversion = 1\n' >"$k/nokey.cfg"
cp "$k/nokey.cfg" "$k/nokey.orig"
for bad in "$k/nokey.cfg" "$k/missing.cfg"; do
  if "$keytool" "$bad" >/dev/null 2>&1; then
    fail "new-cookie-key accepted $(basename "$bad")"
  fi
done
cmp -s "$k/nokey.cfg" "$k/nokey.orig" || fail "a refused new-cookie-key changed the file"
[ -z "$(find "$k" -name 'nokey.cfg.*')" ] || fail "a refused new-cookie-key left a temporary file"

# --- the systemd unit ---------------------------------------------------------
# Verified in the package's tree (its ExecStart must exist there), with the
# system's own units beside it for the targets it names. Any complaint
# (an unknown key, a value ignored) fails the test.
unitdir=$tree/lib/systemd/system
cp -an /lib/systemd/system/. "$unitdir/" 2>/dev/null
if ! systemd-analyze verify --man=no --root="$tree" "/lib/systemd/system/$name.service" \
  >"$work/verify.txt" 2>&1 || [ -s "$work/verify.txt" ]; then
  fail "systemd-analyze verify:"
  cat "$work/verify.txt" >&2
fi
# The sandbox: an exposure of at most 2.5 of 10 ("OK").
if ! systemd-analyze security --offline=true --threshold=25 --root="$tree" "$name.service" \
  >"$work/security.txt" 2>&1; then
  fail "the unit's exposure is above 2.5:"
  grep -E '✗|Overall' "$work/security.txt" >&2
fi
unit=$unitdir/$name.service
for line in "User=tallyspring" "Environment=ZR_ROOT=/var/lib/$name" "StateDirectory=$name" \
  "ProtectSystem=strict" "NoNewPrivileges=yes" "PrivateTmp=yes" "Restart=on-failure" \
  "EnvironmentFile=-/etc/default/$name" "LimitNOFILE=65536"; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
grep -q '^ExecReload' "$unit" && fail "unit has an ExecReload, and kyrhost has no reload"
stop=$(sed -n 's/^TimeoutStopSec=\([0-9]*\)$/\1/p' "$unit")
[ "${stop:-0}" -gt 10 ] || fail "TimeoutStopSec=$stop is not longer than kyrhost's 10 s stop timeout"
# The defaults file sets the options the unit passes on.
# shellcheck source=/dev/null
(. "$tree/etc/default/$name" && [ -n "${KYR_OPTIONS:-}" ]) || fail "/etc/default/$name sets no KYR_OPTIONS"

# --- the packaged kyrhost collects a hit ----------------------------------------
# The root as postinst makes it: cfg links to the configuration directory.
root=$work/root
mkdir -p "$root/log" "$root/weblog"
ln -s "$tree/etc/$name" "$root/cfg"
# The service's pre-start check, as the unit has it, passes on the packaged
# configuration and options, and writes nothing.
pre=$(sed -n 's/^ExecStartPre=//p' "$unit")
[[ "$pre" == */kyrhost\ --check\ * ]] || fail "unit has no ExecStartPre with kyrhost --check: $pre"
pre=${pre//\/usr\//$tree/usr/}
(
  # shellcheck source=/dev/null
  . "$tree/etc/default/$name"
  # $KYR_OPTIONS split at blanks, as systemd splits it.
  read -ra command <<<"${pre//\$KYR_OPTIONS/$KYR_OPTIONS}"
  env -u ZR_CFGFILE -u ZR_DEBUG_LEVEL ZR_ROOT="$root" "${command[@]}"
) >"$work/check.txt" 2>&1 || { fail "the unit's pre-start check failed:"; cat "$work/check.txt" >&2; }
written=$(find "$root/log" "$root/weblog" -mindepth 1)
[ -z "$written" ] || fail "the pre-start check wrote $written"
page=/package-test-$$
env -u ZR_CFGFILE -u ZR_DEBUG_LEVEL ZR_ROOT="$root" "$tree/usr/sbin/kyrhost" \
  --www "$tree/usr/share/$name/www" --listen 127.0.0.1:0 --threads 1 \
  >"$work/kyrhost.txt" 2>&1 &
host_pid=$!
port=
for _ in $(seq 300); do
  port=$(sed -n 's|^kyrhost: serving .* on http://127\.0\.0\.1:\([0-9]*\) .*|\1|p' "$work/kyrhost.txt")
  [ -n "$port" ] && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  cat "$work/kyrhost.txt" >&2
  die "the packaged kyrhost did not start"
fi
# A new visitor: the cookie-test redirect, then the logged hit.
status=$(curl -sS -L --max-redirs 2 -c "$work/jar" -b "$work/jar" -o "$work/hit.gif" \
  -w '%{http_code} %{content_type}' "http://127.0.0.1:$port/kyr.gif?kyruri=$page")
[ "$status" = "200 image/gif" ] || fail "tag hit answered '$status'"
cmp -s "$work/hit.gif" "$tree/usr/share/$name/www/zr_kyr.gif" || fail "tag hit not answered with zr_kyr.gif"
kill -TERM "$host_pid"
for _ in $(seq 600); do
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$host_pid" 2>/dev/null; then
  fail "kyrhost did not stop on SIGTERM"
else
  wait "$host_pid"
  rc=$?
  host_pid=
  [ "$rc" -eq 0 ] || fail "kyrhost exited $rc after SIGTERM"
fi
if ! cat "$root"/weblog/*.log 2>/dev/null | grep -q " $page "; then
  fail "the hit for $page is not in weblog/:"
  ls -l "$root/weblog" >&2
  cat "$work/kyrhost.txt" >&2
fi
[ -f "$root/log/kyr.audit" ] || fail "no audit file in log/"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; files in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "package test passed"
