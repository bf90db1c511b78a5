#!/usr/bin/env bash
# package_test.sh ZIP SETUP [STATUS TEXT]: checks the Windows packages.
# The zip holds one folder laid out as the host's working directory: the GUI
# qsnclient.exe, the console qsnpack.exe, Tcl's library in lib\tcl8.5 and its
# modules in lib\tcl8, Tk's library in lib\tk8.6, the README, no init.dat.
# The installer, run silently under Wine in a fresh prefix of its own,
# installs that folder and init.dat into the user's local programs folder,
# with a Start-menu shortcut and an uninstall entry. With STATUS and TEXT,
# the installed host is started once from that folder (under Xvfb) and must
# end with STATUS and leave TEXT (UTF-8 here, CP866 in the file) in the log
# there. Finally the uninstaller, also silent, must remove it all.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/wine-lib.sh"
zip=$(realpath "$1") setup=$(realpath "$2")
status=${3:-} text=${4:-}

fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

tmp=$(mktemp -d)
trap 'xvfb_stop; [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true; rm -rf "$tmp"' EXIT

check_zip() {
  unzip -q "$zip" -d "$tmp/zip"
  local dir=$tmp/zip/qsnclient-win64
  [ "$(ls "$tmp/zip")" = qsnclient-win64 ] || fail "the zip holds more than its folder"
  local f
  for f in qsnclient.exe qsnpack.exe README.txt lib/tcl8.5/init.tcl lib/tcl8.5/encoding/cp866.enc \
    lib/tcl8.5/encoding/koi8-r.enc lib/tk8.6/tk.tcl; do
    [ -f "$dir/$f" ] || fail "zip: $f missing"
  done
  ls "$dir"/lib/tcl8/8.5/msgcat-*.tm >/dev/null || fail "zip: Tcl's msgcat module missing"
  [ ! -e "$dir/init.dat" ] || fail "zip: ships an init.dat"
  file "$dir/qsnclient.exe" | grep -q 'PE32+ executable (GUI) x86-64' ||
    fail "qsnclient.exe is not a 64-bit GUI program: $(file -b "$dir/qsnclient.exe")"
  file "$dir/qsnpack.exe" | grep -q 'PE32+ executable (console) x86-64' ||
    fail "qsnpack.exe is not a 64-bit console program: $(file -b "$dir/qsnpack.exe")"
  ok "zip layout"
}

check_install() {
  wine_env "$tmp/prefix"
  wine "$setup" /S || fail "the installer exited with $?"
  wineserver -w
  home=$WINEPREFIX/drive_c/users/$(id -un)
  dir=$home/AppData/Local/Programs/qsnclient
  echo "installed:"
  (cd "$dir" && find . -maxdepth 2 | sort | sed 's/^/  /')
  local f
  for f in qsnclient.exe qsnpack.exe init.dat README.txt uninstall.exe lib/tcl8.5/init.tcl \
    lib/tk8.6/tk.tcl; do
    [ -f "$dir/$f" ] || fail "installed: $f missing"
  done
  local lnk=$home/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/qsnclient.lnk
  [ -f "$lnk" ] || fail "no Start-menu shortcut"
  # The shortcut's strings are UTF-16: the working directory is the one
  # naming the folder alone, the target names the program in it.
  local paths
  paths=$(tr -d '\0' <"$lnk" |
    grep -aoE 'C:\\users\\[^\\]+\\AppData\\Local\\Programs\\qsnclient(\\qsnclient\.exe)?')
  grep -qE '\\qsnclient$' <<<"$paths" || fail "the shortcut does not start in the install folder"
  grep -q 'CurrentVersion\\\\Uninstall\\\\qsnclient' "$WINEPREFIX/user.reg" ||
    fail "no uninstall entry"
  ok "installed per user, with shortcut and uninstall entry"
}

check_run() {
  xvfb_start
  local got=0
  (cd "$dir" && timeout 60 wine qsnclient.exe) || got=$?
  wineserver -w
  xvfb_stop
  [ "$got" = "$status" ] || fail "the installed host ended with $got, not $status"
  local want
  want=$(printf '%s' "$text" | iconv -f UTF-8 -t CP866)
  grep -qF "$want" "$dir/qsnclient.log" || fail "its log lacks: $text"
  ok "the installed host ran in its folder and wrote its log there"
}

check_uninstall() {
  wine "$dir/uninstall.exe" /S || fail "the uninstaller exited with $?"
  # The uninstaller copies itself away and returns at once; wait for it.
  wineserver -w
  [ ! -e "$dir" ] || fail "the uninstaller left: $(cd "$dir" && find . | tr '\n' ' ')"
  [ ! -e "$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/qsnclient.lnk" ] ||
    fail "the uninstaller left the shortcut"
  ! grep -q 'CurrentVersion\\\\Uninstall\\\\qsnclient' "$WINEPREFIX/user.reg" ||
    fail "the uninstaller left its entry"
  ok "uninstalled"
}

check_zip
check_install
[ -z "$status" ] || check_run
check_uninstall
