#!/usr/bin/env bash
# windows.sh: cross-builds the Windows host and leaves its packages in
# dist/. The usage below is what --help prints.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-lib.sh"

usage() {
  cat <<'USAGE'
Usage: scripts/windows.sh [OPTION...]

Cross-builds qsnclient.exe and qsnpack.exe for Windows x64 into build-win64/
and leaves in dist/:
  qsnclient-win64.zip        the host's working directory, without init.dat
  qsnclient-win64-setup.exe  a per-user installer carrying an init.dat

Options:
  --init FILE      the init.dat the installer carries (default: the demo
                   client, packed by the cross-built qsnpack.exe under Wine)
  --name NAME      the name of the installed folder, the Start-menu shortcut
                   and the uninstall entry (default: qsnclient)
  --args ARGS      the command line the shortcut gives the host (default:
                   none)
  --icon FILE.ico  the programs' and the installer's icon, in place of
                   packaging/windows/qsnclient.ico
  --sign CERT.pfx  signs both programs, the installer and its uninstaller
                   with Authenticode (SHA-256), with the certificate and key
                   in CERT.pfx; its password comes from the variable
                   QSN_SIGN_PASSWORD or from the file named by
                   --password-file, never from the command line
  --password-file FILE
                   the file holding CERT.pfx's password
  --timestamp URL  with --sign: has each signature timestamped by the
                   RFC 3161 server at URL, so that it outlives the
                   certificate
  -h, --help       prints this and exits

Without --sign the programs and the installer are unsigned, and the build
says so.

The static libraries (Tcl, Tk, libcurl, libcrypto, GoogleTest) are built
once from Debian's source packages into ~/.cache/qsnclient
($QSN_WIN_CACHE), which later builds reuse; the first build takes about ten
minutes. One build at a time writes that cache: a build that finds another
one building the libraries says so and waits for it.
USAGE
}

init='' icon=$root/packaging/windows/qsnclient.ico pass=() sign=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --init | --name | --args | --icon | --sign | --password-file | --timestamp)
      [ $# -ge 2 ] || { echo "windows.sh: $1 needs a value" >&2; exit 2; } ;;
    *) echo "windows.sh: unknown option $1 (--help lists them)" >&2; exit 2 ;;
  esac
  case $1 in
    --init) init=$(realpath "$2") ;;
    --name | --args) pass+=("$1" "$2") ;;
    --icon) icon=$(realpath "$2") ;;
    --sign) export QSN_SIGN_CERT; QSN_SIGN_CERT=$(realpath "$2") ;;
    --password-file) export QSN_SIGN_PASSWORD_FILE; QSN_SIGN_PASSWORD_FILE=$(realpath "$2") ;;
    --timestamp) export QSN_SIGN_TIMESTAMP=$2 ;;
  esac
  shift 2
done
[ -f "$icon" ] || { echo "windows.sh: no icon file $icon" >&2; exit 2; }
if [ -n "${QSN_SIGN_CERT:-}" ]; then
  [ -f "$QSN_SIGN_CERT" ] || { echo "windows.sh: no certificate file $QSN_SIGN_CERT" >&2; exit 2; }
  sign=(--sign "$QSN_SIGN_CERT")
elif [ -n "${QSN_SIGN_PASSWORD_FILE:-}${QSN_SIGN_TIMESTAMP:-}" ]; then
  echo "windows.sh: --password-file and --timestamp go with --sign" >&2
  exit 2
fi

say() { printf '== %s\n' "$*" >&2; }
say "static libraries"
deps=$("$root/scripts/windows-deps.sh")
say "cross-building qsnclient.exe and qsnpack.exe"
build=$root/build-win64
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DQSN_WIN_DEPS="$deps" -DQSN_ICON="$icon" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target qsnclient qsnpack

if [ -z "$init" ]; then
  say "packing the demo client into init.dat"
  init=$build/demo-init.dat
  # The build tree has no Tcl library beside the packer: the prefix's.
  TCL_LIBRARY=$(winpath "$deps/lib/tcl8.6") "$root/scripts/wine-run.sh" "$build/qsnpack.exe" pack \
    "$(winpath "$root/demo/client.tcl")" "$(winpath "$init")"
fi
say "packaging"
[ ${#sign[@]} -gt 0 ] || say "unsigned: the programs and the installer carry no signature (--sign CERT.pfx signs them)"
"$root/scripts/windows-package.sh" --bin "$build" --deps "$deps" --init "$init" \
  --icon "$icon" "${pass[@]}" "${sign[@]}" --out "$root/dist"
