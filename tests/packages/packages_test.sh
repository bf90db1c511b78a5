#!/usr/bin/env bash
# packages_test.sh OUT_DIR: builds the Debian packages with
# scripts/package.sh into OUT_DIR, has lintian check them, and installs them
# with dpkg into a scratch root, maintainer scripts included; on a
# disposable machine (root in a container) also with apt-get for real,
# purged at the end. In the scratch root the installed programs serve and
# run a packed script, man finds the pages, systemd verifies the unit, and
# removal and purge clean up after themselves.
set -u
source "$(dirname "$0")/../checks.sh"
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:?folder for the package build}
# apt takes a file for a package name unless its path has a slash in front.
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d /tmp/qsnpkg.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! "$repo/scripts/package.sh" "$out/build" "$out/dist" >"$work/package.log" 2>&1; then
  cat "$work/package.log" >&2
  echo "FAIL: scripts/package.sh" >&2
  exit 1
fi
client_deb=$(echo "$out"/dist/qsnclient_*.deb)
server_deb=$(echo "$out"/dist/qsnserver_*.deb)

# Errors and warnings fail; informational findings are shown.
lint() {
  local report rc=0
  report=$(lintian --fail-on error,warning --display-info "$@" 2>&1) || rc=$?
  grep -v 'running with root privileges' <<<"$report" >&2
  return "$rc"
}
check "lintian: no errors or warnings" lint "$client_deb" "$server_deb"

# Dependencies come from the binaries' own libraries.
depends() { dpkg-deb --field "$1" Depends; }
check "client depends on Tk" matches "client Depends" 'libtk8\.6' "$(depends "$client_deb")"
check "client depends on libcurl" matches "client Depends" 'libcurl4' "$(depends "$client_deb")"
check "server depends on Tcl" matches "server Depends" 'libtcl8\.6' "$(depends "$server_deb")"

simulate() { apt-get install --simulate -q "$client_deb" "$server_deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; return 1; }; }
check "apt resolves the dependencies" simulate

# A scratch root with an empty package database and systemd's own units,
# which the service's unit names (sysinit.target, multi-user.target ...).
root=$work/root
# Debian 12's systemd ships them under /lib, the same folder as /usr/lib
# on a merged /usr.
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/usr/lib/systemd/system"
: >"$root/var/lib/dpkg/status"
cp -a /lib/systemd/system/. "$root/usr/lib/systemd/system/"
rm -f "$root/usr/lib/systemd/system/qsnserver.service"
# The scripts run outside a chroot with DPKG_ROOT set; the libraries the
# packages depend on are the machine's, outside the scratch database.
dpkg_root=(dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless
  --force-depends)
if [ "$(id -u)" -ne 0 ]; then dpkg_root+=(--force-not-root); fi
installed() { "${dpkg_root[@]}" "$@" >>"$work/dpkg.out" 2>&1 ||
  { cat "$work/dpkg.out" >&2; return 1; }; }
check "dpkg installs both" installed --install "$client_deb" "$server_deb"

check "service user" grep -qE '^qsnserver:x:[0-9]+:[0-9]+:[^:]*:/var/lib/qsnserver:/usr/sbin/nologin$' \
  "$root/etc/passwd"
wants=$root/etc/systemd/system/multi-user.target.wants/qsnserver.service
check "service enabled" test -L "$wants"
conffiles=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Conffiles}' qsnserver)
check "conffiles" matches conffiles '/etc/qsnserver/app.tcl .*/etc/qsnserver/options ' \
  "$(tr '\n' ' ' <<<"$conffiles")"

# verify prints its findings but fails only on some of them: both count.
verify() {
  local report
  report=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    qsnserver.service 2>&1) && [ -z "$report" ] && return 0
  echo "  $report" >&2
  return 1
}
check "systemd-analyze verify" verify
# 1.2 when written; more means a hardening setting went missing.
check "unit exposure at most 1.2" systemd-analyze security --offline=yes --threshold=12 \
  --root="$root" --no-pager qsnserver.service >/dev/null

check "man qsnpack found" equals "man -w" "$root/usr/share/man/man1/qsnpack.1.gz" \
  "$(man -M "$root/usr/share/man" -w qsnpack)"
check "man qsnpack renders" grep -q 'pack a Tcl script into init.dat' \
  <(man -M "$root/usr/share/man" -P cat qsnpack 2>/dev/null)
check "man 8 qsnserver found" equals "man -w" "$root/usr/share/man/man8/qsnserver.8.gz" \
  "$(man -M "$root/usr/share/man" -w 8 qsnserver)"

# The installed server runs the installed application; the installed host,
# in a folder holding only init.dat, talks to it.
"$root/usr/sbin/qsnserver" --listen 127.0.0.1:0 "$root/etc/qsnserver/app.tcl" \
  >"$work/server.log" 2>&1 &
server_pid=$!
url=$(server_url "$work/server.log" "$server_pid") || true
check "installed server listens" matches url '^http://127\.0\.0\.1:[0-9]+/$' "$url"

app=$work/app
mkdir "$app"
"$root/usr/bin/qsnpack" pack - "$app/init.dat" <<TCL
set s [createQSNsession $url]
mputs [requestQSN \$s hello World]
mputs [requestQSN \$s login anna]
mputs "whoami=[requestQSN \$s whoami {}]"
closeQSNsession \$s
TCL
rc=0
(cd "$app" && env -u DISPLAY "$root/usr/bin/qsnclient") || rc=$?
check "installed host exits 0" equals status 0 "$rc"
log=$(iconv -f CP866 -t UTF-8 "$app/qsnclient.log" 2>/dev/null | tr -d '\r')
check "log: reply" matches log ']:Hello, World!' "$log"
check "log: signed in on its own path" matches log ']:whoami=anna' "$log"

kill -TERM "$server_pid"
rc=0
wait "$server_pid" || rc=$?
server_pid=
check "installed server stops with 0" equals status 0 "$rc"

# Removal keeps the administrator's files; purge takes them and the
# application's data.
mkdir -p "$root/var/lib/qsnserver"
echo data >"$root/var/lib/qsnserver/tasks.db"
check "dpkg removes both" installed --remove qsnserver qsnclient
check "removed: programs gone" test ! -e "$root/usr/sbin/qsnserver" -a ! -e "$root/usr/bin/qsnclient"
check "removed: configuration kept" test -f "$root/etc/qsnserver/options"
check "dpkg purges the server" installed --purge qsnserver
check "purged: configuration gone" test ! -e "$root/etc/qsnserver"
check "purged: data gone" test ! -e "$root/var/lib/qsnserver"
check "purged: not enabled" test ! -L "$wants"

# On a disposable machine (root, and no systemd running: a CI container),
# the packages are also installed for real, the way a user installs them,
# used from their installed paths, and purged again. Elsewhere the scratch
# root above stands in for that, so a developer's machine is left alone.
real_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 \
    "$client_deb" "$server_deb" >"$work/apt-real.log" 2>&1 ||
    { cat "$work/apt-real.log" >&2; return 1; }
}
purge_real() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 \
    qsnclient qsnserver >"$work/apt-purge.log" 2>&1 ||
    { cat "$work/apt-purge.log" >&2; return 1; }
}
if [ "$(id -u)" -eq 0 ] && [ ! -d /run/systemd/system ] && [ "${QSN_REAL_INSTALL:-1}" != 0 ] &&
  ! dpkg-query -W qsnclient >/dev/null 2>&1; then
  check "apt-get installs both" real_install
  check "man qsnpack found on the system" equals "man -w" /usr/share/man/man1/qsnpack.1.gz \
    "$(man -w qsnpack)"
  real=$work/real
  mkdir "$real"
  /usr/bin/qsnpack pack - "$real/init.dat" <<<'mputs "installed host ran"'
  rc=0
  (cd "$real" && env -u DISPLAY /usr/bin/qsnclient) || rc=$?
  check "host from /usr/bin exits 0" equals status 0 "$rc"
  check "host from /usr/bin logs" matches log ']:installed host ran' \
    "$(iconv -f CP866 -t UTF-8 "$real/qsnclient.log" 2>/dev/null | tr -d '\r')"
  check "apt-get purges both" purge_real
  check "purged from the system" test ! -e /usr/bin/qsnclient -a ! -e /usr/sbin/qsnserver
else
  echo "packages: not installed for real here (not root in a container); the scratch root stands in"
fi

finish
