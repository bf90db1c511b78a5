#!/usr/bin/env bash
# package_test.sh ZIP SETUP STATUS TEXT: checks the Windows packages.
# The zip holds one folder laid out as the host's working directory: the GUI
# qsnclient.exe, the console qsnpack.exe, Tcl's library in lib\tcl8.5 and its
# modules in lib\tcl8, Tk's library in lib\tk8.6, the README, no init.dat.
# Both programs and the installer carry the version, a manifest and the
# icon, and a valid SHA-256 Authenticode signature. The installer, run
# under Wine in a fresh prefix of its own, installs that folder and
# init.dat into the user's local programs folder, with a Start-menu shortcut
# and an uninstall entry; the installed host, started from that folder
# (under Xvfb) with hostile OpenSSL configurations planted where a build
# once looked for one, must end with STATUS and leave TEXT (UTF-8 here,
# CP866 in the file) in the log there. Then the installer's order: upgrade
# in place, a move to another folder, refusals while the host runs and
# under Program Files by its 8.3 name, the warning at a drive's root, an
# uninstaller run from a copy; its Russian pages (screenshots) and "run
# now"; finally the uninstaller must remove it all.
#
# Environment: QSN_VERSION (the version the programs must carry), QSN_ICON
# (the icon they must carry), QSN_SIGN_CA (the certificate that signed
# them), QSN_OLD_OPENSSLDIR (the OpenSSL folder earlier builds named),
# QSNPACK (the Linux packer), QSN_SHOTS (where the screenshots go).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/wine-lib.sh"
zip=$(realpath "$1") setup=$(realpath "$2") status=$3 text=$4
version=${QSN_VERSION:?} icon=${QSN_ICON:?} ca=${QSN_SIGN_CA:?}
old_openssldir=${QSN_OLD_OPENSSLDIR:?} shots=${QSN_SHOTS:?}
QSNPACK=${QSNPACK:?}

fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

tmp=$(mktemp -d)
trap 'xvfb_stop; [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true; rm -rf "$tmp"' EXIT
mkdir -p "$shots"

# run_wine LOG PROGRAM ARGS...: runs a Windows program, its standard error
# into LOG; sets rc.
run_wine() {
  local log=$1
  shift
  rc=0
  wine "$@" </dev/null >/dev/null 2>"$log" || rc=$?
}

# run_cmd LOG LINE: runs a command line as cmd.exe takes it, raw, the way an
# administrator types it (/D= and _?= are read unquoted, blanks and all,
# which no argument vector quoted by Wine would give); sets rc.
run_cmd() { run_wine "$1" cmd /c "$2"; }

# install_silently [SWITCH]: the installer with /S and SWITCH.
install_silently() { run_cmd "$tmp/stderr" "$(winpath "$setup") /S ${1:-}"; }

# The folders libcrypto compiles in (its own, where openssl.cnf and the
# certificates would be, and those of engines and modules) are ones no
# Windows file name can be: a "?" is refused in every name.
check_openssl_dir() {
  local named
  named=$(strings -a "$1" | grep -E '/(certs|private|cert\.pem|engines-3|ossl-modules)$')
  [ -n "$named" ] || fail "$2.exe: no OpenSSL folder found among its strings"
  ! grep -v '?' <<<"$named" || fail "$2.exe names OpenSSL folders that can exist"
}

# Nor do Tcl's (its prefix, its library's folder): nothing in a program
# names a folder of the build machine's cache, which on Windows means that
# path on the current drive.
check_no_build_paths() {
  # shellcheck disable=SC2154  # wine_cache is wine-lib.sh's
  ! strings -a "$1" | grep -F "$wine_cache" || fail "$2.exe names the build machine's folders"
}

# The resources Windows shows: version information with the version and
# the program's name, the manifest, our icon (the only one: not Tk's).
check_program_resources() {
  local exe=$1 name=$2 types
  types=$(wrestool -l "$exe" | grep -oE 'type=[0-9]+' | sort -u | tr '\n' ' ')
  for t in 14 16 24; do
    [[ " $types " == *" type=$t "* ]] || fail "$name.exe: no resource of type $t ($types)"
  done
  [ "$(wrestool -l -t14 "$exe" | wc -l)" = 1 ] || fail "$name.exe: more than one icon"
  # The same images, size by size (the file's layout may differ).
  wrestool -x -t14 "$exe" >"$tmp/$name.ico"
  [ "$(identify -format '%w %#\n' "$tmp/$name.ico")" = "$(identify -format '%w %#\n' "$icon")" ] ||
    fail "$name.exe: the icon is not $icon"
  check_version_info "$exe" "$name"
  local manifest
  manifest=$(wrestool -x --raw -t24 "$exe")
  for want in 'level="asInvoker"' '>PerMonitorV2' '<longPathAware [^>]*>true<' \
    '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' 'name="Microsoft.Windows.Common-Controls" *version="6.0.0.0"'; do
    grep -qE "$want" <<<"$(tr -s ' \n' ' ' <<<"$manifest")" || fail "$name.exe: the manifest lacks $want"
  done
}

# check_version_info FILE DESCRIPTION: the strings of its version
# information, which are UTF-16.
check_version_info() {
  local info
  info=$(wrestool -x --raw -t16 "$1" | iconv -f UTF-16LE -t UTF-8 -c | tr '\0' '\n' |
    tr -cd '[:print:]\n' | grep -v '^$')
  for want in ProductVersion FileVersion; do
    # A key's line may start with its record's length, a value's may not.
    [ "$(grep -A1 "$want\$" <<<"$info" | sed -n 2p)" = "$version" ] ||
      fail "$(basename "$1"): $want is not $version"
  done
  grep -qF "$2" <<<"$info" || fail "$(basename "$1"): its description lacks $2"
}

check_signature() {
  local out
  out=$(osslsigncode verify -CAfile "$ca" -in "$1" 2>&1) ||
    fail "$(basename "$1"): no valid signature: $(tail -n 3 <<<"$out")"
  grep -q 'Message digest algorithm *: SHA256' <<<"$out" ||
    fail "$(basename "$1"): not signed with SHA-256"
}

# shortcut_starts_in REGEX: the shortcut's strings are UTF-16: the working
# directory is the one naming the folder alone, the target names the
# program in it.
shortcut_starts_in() {
  tr -d '\0' <"$lnk" | grep -aoE "$1(\\\\qsnclient\.exe)?" | grep -qvE 'qsnclient\.exe$'
}

# entry NAME: a value of the uninstall entry, as reg prints it.
entry() {
  wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\qsnclient' \
    /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }'
}

# check_entry REGEX DIR: the entry names the installation in DIR (REGEX its
# Windows name) with the values Apps and features shows.
check_entry() {
  local location
  location=$(entry InstallLocation)
  [[ $location =~ ^$1$ ]] || fail "entry: InstallLocation is [$location]"
  [ "$(entry DisplayName)" = qsnclient ] || fail "entry: DisplayName [$(entry DisplayName)]"
  [ "$(entry DisplayVersion)" = "$version" ] || fail "entry: DisplayVersion [$(entry DisplayVersion)]"
  [ "$(entry Publisher)" = "qsnclient maintainers" ] || fail "entry: Publisher [$(entry Publisher)]"
  [ "$(entry DisplayIcon)" = "$location\qsnclient.exe,0" ] ||
    fail "entry: DisplayIcon [$(entry DisplayIcon)]"
  [ "$(entry QuietUninstallString)" = "\"$location\uninstall.exe\" /S" ] ||
    fail "entry: QuietUninstallString [$(entry QuietUninstallString)]"
  local size actual
  size=$(($(entry EstimatedSize)))
  actual=$(du -sk "$2" | cut -f1)
  [ "$size" -gt $((actual * 8 / 10)) ] && [ "$size" -lt $((actual * 12 / 10)) ] ||
    fail "entry: EstimatedSize $size KB, the folder holds $actual KB"
}

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
  for f in qsnclient qsnpack; do
    check_openssl_dir "$dir/$f.exe" "$f"
    check_no_build_paths "$dir/$f.exe" "$f"
    check_program_resources "$dir/$f.exe" "$f"
    check_signature "$dir/$f.exe"
  done
  check_version_info "$setup" "qsnclient installer"
  check_signature "$setup"
  ok "programs and installer: version $version, manifest, icon, signatures"
}

check_install() {
  wine_env "$tmp/prefix"
  home=$WINEPREFIX/drive_c/users/$(id -un)
  default_dir=$home/AppData/Local/Programs/qsnclient
  lnk=$home/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/qsnclient.lnk
  install_silently || fail "the installer exited with $rc: $(cat "$tmp/stderr")"
  dir=$default_dir
  echo "installed:"
  (cd "$dir" && find . -maxdepth 2 | sort | sed 's/^/  /')
  local f
  for f in qsnclient.exe qsnpack.exe init.dat README.txt uninstall.exe lib/tcl8.5/init.tcl \
    lib/tk8.6/tk.tcl; do
    [ -f "$dir/$f" ] || fail "installed: $f missing"
  done
  [ -f "$lnk" ] || fail "no Start-menu shortcut"
  shortcut_starts_in 'C:\\users\\[^\\]+\\AppData\\Local\\Programs\\qsnclient' ||
    fail "the shortcut does not start in the install folder"
  check_signature "$dir/uninstall.exe"
  check_entry 'C:\\users\\[^\\]+\\AppData\\Local\\Programs\\qsnclient' "$dir"
  ok "installed per user, with shortcut and uninstall entry"
}

# The installed host deciphers init.dat with hostile OpenSSL configurations
# where libcrypto used to look for one (the build machine's folder, on the
# current drive, which any user may create) and where the environment names
# one: a FIPS-only configuration read would leave it no Blowfish. Twice:
# the second start keeps the first's log as qsnclient.log.1.
check_run() {
  local conf=$tmp/fips.cnf
  printf '%s\r\n' 'openssl_conf = init' '[init]' 'alg_section = algorithms' \
    '[algorithms]' 'default_properties = "fips=yes"' >"$conf"
  mkdir -p "$WINEPREFIX/drive_c$old_openssldir"
  cp "$conf" "$WINEPREFIX/drive_c$old_openssldir/openssl.cnf"
  cp "$conf" "$WINEPREFIX/drive_c/fips.cnf"
  local got
  for _ in 1 2; do
    got=0
    (cd "$dir" && OPENSSL_CONF='C:\fips.cnf' timeout 60 wine qsnclient.exe) || got=$?
  done
  [ "$got" = "$status" ] || fail "the installed host ended with $got, not $status"
  [ -f "$dir/qsnclient.log.1" ] || fail "no qsnclient.log.1 after the second start"
  local want
  want=$(printf '%s' "$text" | iconv -f UTF-8 -t CP866)
  grep -qF "$want" "$dir/qsnclient.log" || fail "its log lacks: $text ($(cat "$dir/qsnclient.log"))"
  ok "the installed host ran in its folder, hostile OpenSSL configurations around it"
}

# A second run upgrades in place, keeping what the user left there; given
# another folder, it moves the installation: one folder, shortcut and entry.
check_upgrade_and_move() {
  echo mine >"$dir/notes.txt"
  install_silently || fail "the upgrade exited with $rc: $(cat "$tmp/stderr")"
  [ -f "$dir/notes.txt" ] && [ -f "$dir/qsnclient.exe" ] || fail "the upgrade did not stay in $dir"
  install_silently '/D=C:\Apps\Moved qsnclient' || fail "the move exited with $rc"
  local moved=$WINEPREFIX/drive_c/Apps/Moved\ qsnclient
  [ -f "$moved/qsnclient.exe" ] || fail "nothing installed in C:\Apps\Moved qsnclient"
  [ ! -e "$dir/qsnclient.exe" ] && [ ! -e "$dir/uninstall.exe" ] &&
    [ ! -e "$dir/qsnclient.log" ] && [ ! -e "$dir/qsnclient.log.1" ] ||
    fail "the old folder kept the old installation: $(ls "$dir")"
  [ -f "$dir/notes.txt" ] || fail "the move took the user's own file"
  shortcut_starts_in 'C:\\Apps\\Moved qsnclient' || fail "the shortcut was not moved"
  check_entry 'C:\\Apps\\Moved qsnclient' "$moved"
  dir=$moved
  ok "upgraded in place; moved with its shortcut and entry"
}

# While the host runs from the folder, a silent install and a silent
# uninstall refuse with status 3 and say why; the folder stays as it was.
check_running() {
  pack_waiting "$dir/init.dat"
  (cd "$dir" && exec wine qsnclient.exe) &
  local host=$!
  for _ in $(seq 100); do
    grep -q waiting "$dir/qsnclient.log" 2>/dev/null && break
    sleep 0.1
  done
  install_silently
  local install_rc=$rc install_err
  install_err=$(cat "$tmp/stderr")
  run_cmd "$tmp/stderr" 'cd /d C:\Apps\Moved qsnclient && uninstall.exe /S _?=C:\Apps\Moved qsnclient'
  touch "$dir/go"
  wait "$host" || true
  [ "$install_rc" = 3 ] || fail "an install over the running host exited with $install_rc"
  grep -q 'is running from' <<<"$install_err" || fail "the install did not say why: $install_err"
  [ "$rc" = 3 ] || fail "an uninstall under the running host exited with $rc"
  [ -f "$dir/qsnclient.exe" ] || fail "the refused uninstall removed files"
  rm -f "$dir/go"
  ok "refused while the host runs, with status 3"
}

pack_waiting() {
  "$QSNPACK" pack - "$1" <<'TCL'
mputs waiting
for {set i 0} {$i < 600 && ![file exists go]} {incr i} { after 50 }
TCL
}

# Under Program Files, by its long name or its 8.3 one: status 2 and why.
check_program_files() {
  local short
  short=$(short_name 'C:/Program Files')
  [[ $short =~ ^C:\\[A-Z0-9~]+$ ]] || fail "no 8.3 name of C:\Program Files: [$short]"
  local target
  for target in 'C:\Program Files\qsnclient' "$short\qsnclient"; do
    install_silently "/D=$target"
    [ "$rc" = 2 ] || fail "an install into $target exited with $rc"
    grep -q 'is under Program Files' "$tmp/stderr" || fail "no reason given for $target"
  done
  [ ! -e "$WINEPREFIX/drive_c/Program Files/qsnclient" ] || fail "installed under Program Files"
  [[ $(entry InstallLocation) == *Moved* ]] || fail "a refused install changed the entry"
  ok "refused under Program Files, also by its 8.3 name $short, with status 2"
  # A /D= NSIS cannot take (no full folder name) would have it install into
  # its default folder instead, saying nothing.
  install_silently '/D=Apps\relative'
  [ "$rc" = 2 ] || fail "an install into a relative folder exited with $rc"
  grep -q 'is no full folder name' "$tmp/stderr" || fail "no reason given for a relative folder"
  [ ! -e "$default_dir/qsnclient.exe" ] || fail "a relative /D= installed into the default folder"
  ok "refused a /D= that names no full folder, with status 2"
}

# short_name PATH: the 8.3 name Windows gives PATH, asked of Tcl in the
# installed host (Wine makes its own, not PROGRA~1).
short_name() {
  local d=$tmp/short
  mkdir -p "$d"
  ln -sfn "$dir/lib" "$d/lib"
  "$QSNPACK" pack - "$d/init.dat" <<<"mputs [file nativename [file attributes {$1} -shortname]]"
  (cd "$d" && wine "$dir/qsnclient.exe" </dev/null >/dev/null 2>&1) || true
  sed -n 's/^\[[^]]*\]://p' "$d/qsnclient.log" | tr -d '\r'
}

# A drive's root: a silent install warns and goes on.
check_drive_root() {
  mkdir "$tmp/drive-r"
  ln -s "$tmp/drive-r" "$WINEPREFIX/dosdevices/r:"
  install_silently '/D=R:\'
  [ "$rc" = 0 ] || fail "an install into R:\ exited with $rc"
  grep -q 'the root of a drive' "$tmp/stderr" || fail "no warning for a drive's root: $(cat "$tmp/stderr")"
  [ -f "$tmp/drive-r/qsnclient.exe" ] || fail "nothing installed in R:\\"
  install_silently '/D=C:\Apps\Moved qsnclient' || fail "moving back exited with $rc"
  [ -z "$(ls -A "$tmp/drive-r")" ] || fail "moving away left in R:\\ $(ls "$tmp/drive-r")"
  ok "warned at a drive's root; moved away from it"
}

# An uninstaller run from a copy of the folder removes the copy and leaves
# the installation's shortcut and entry alone.
check_copy_uninstall() {
  cp -r "$dir" "$WINEPREFIX/drive_c/Copy"
  run_wine "$tmp/stderr" 'C:\Copy\uninstall.exe' /S '_?=C:\Copy'
  [ "$rc" = 0 ] || fail "the copy's uninstaller exited with $rc"
  [ ! -e "$WINEPREFIX/drive_c/Copy/qsnclient.exe" ] || fail "the copy's uninstaller left its files"
  [ -f "$lnk" ] || fail "the copy's uninstaller removed the installation's shortcut"
  [[ $(entry InstallLocation) == *Moved* ]] || fail "the copy's uninstaller removed the entry"
  ok "a copy's uninstaller leaves the installation alone"
}

check_order() {
  check_upgrade_and_move
  check_running
  check_program_files
  check_drive_root
  check_copy_uninstall
}

# The installer's pages in Russian under a Russian locale, screenshots of
# them: the directory page refusing Program Files (given by its 8.3 name),
# then an upgrade through the pages, whose finish page's "run now" starts
# the host in its folder.
check_russian_pages() {
  localedef -i ru_RU -f UTF-8 "$tmp/ru_RU.UTF-8" 2>/dev/null || fail "localedef cannot make ru_RU"
  local short window
  short=$(short_name 'C:/Program Files')
  run_russian "/D=$short\\qsnclient"
  window=$(wait_window qsnclient) || fail "no installer window"
  xdotool windowfocus --sync "$window" key Return
  sleep 2
  shoot_over "$window" "$shots/installer-ru-refused.png"
  xdotool key Return
  sleep 1
  xdotool windowfocus --sync "$window" key Escape
  wait "$installer" || true
  [ ! -e "$WINEPREFIX/drive_c/Program Files/qsnclient" ] || fail "the page let Program Files through"

  run_russian
  window=$(wait_window qsnclient) || fail "no installer window"
  shoot "$window" "$shots/installer-ru-folder.png"
  rm -f "$dir/uninstall.exe" "$dir/qsnclient.log"
  xdotool windowfocus --sync "$window" key Return
  for _ in $(seq 100); do
    [ -f "$dir/uninstall.exe" ] && break
    sleep 0.2
  done
  sleep 2
  shoot "$window" "$shots/installer-ru-finish.png"
  xdotool windowfocus --sync "$window" key Return
  wait "$installer" || fail "the interactive installer exited with $?"
  local want
  want=$(printf '%s' "$text" | iconv -t CP866)
  for _ in $(seq 100); do
    grep -qF "$want" "$dir/qsnclient.log" 2>/dev/null && break
    sleep 0.2
  done
  grep -qF "$want" "$dir/qsnclient.log" 2>/dev/null ||
    fail "the finish page did not start the host in $dir: $(ls "$dir")"
  ok "Russian pages (screenshots in $shots), Program Files refused on the page, run at finish"
}

# run_russian [SWITCH]: starts the installer with its pages, in a Russian
# locale made for the test; sets installer.
run_russian() {
  (cd "$tmp" && LOCPATH=$tmp LC_ALL=ru_RU.UTF-8 exec wine cmd /c "$(winpath "$setup") ${1:-}" \
    </dev/null >/dev/null 2>&1) &
  installer=$!
}

# wait_window NAME: the id of the first window whose title holds NAME.
wait_window() {
  local id
  for _ in $(seq 150); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) && [ -n "$id" ] &&
      { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}

# shoot WINDOW FILE: WINDOW's picture, once drawn (drawn_shot).
shoot() { drawn_shot "$2" import -display "$DISPLAY" -window "$1"; }

# shoot_over WINDOW FILE: the screen where WINDOW is, with whatever lies
# over it (a message box of its own), once drawn.
shoot_over() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9]+$')"
  drawn_shot "$2" import -display "$DISPLAY" -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" \
    +repage
}

# drawn_shot FILE COMMAND...: runs `COMMAND FILE` (a screenshot) until the
# picture is drawn: a window is up before its page's controls are. It
# counts once the middle of the picture, where every page has its controls
# and text, shows more than a few colours (an undrawn page is one or two)
# and the next picture, half a second later, is the same but for a caret's
# few pixels. Fails after 15 s.
drawn_shot() {
  local file=$1 last=$tmp/last-shot.png colours changed
  shift
  "$@" "$file"
  for _ in $(seq 30); do
    sleep 0.5
    cp "$file" "$last"
    "$@" "$file"
    colours=$(convert "$file" -gravity center -crop 100%x60%+0+0 +repage -format %k info:)
    changed=$(compare -metric AE "$last" "$file" null: 2>&1) || true
    [ "$colours" -ge 8 ] && [ "${changed%% *}" -le 40 ] 2>/dev/null && return 0
  done
  fail "$file: no drawn picture in 15 s ($colours colours in its middle, $changed pixels changing)"
}

check_uninstall() {
  wine "$dir/uninstall.exe" /S || fail "the uninstaller exited with $?"
  # The uninstaller copies itself away and returns at once; wait for it.
  wineserver -w
  [ ! -e "$dir" ] || fail "the uninstaller left: $(cd "$dir" && find . | tr '\n' ' ')"
  [ ! -e "$lnk" ] || fail "the uninstaller left the shortcut"
  ! grep -q 'CurrentVersion\\\\Uninstall\\\\qsnclient' "$WINEPREFIX/user.reg" ||
    fail "the uninstaller left its entry"
  ok "uninstalled"
}

check_zip
xvfb_start
check_install
check_run
check_order
check_russian_pages
check_uninstall
