#!/usr/bin/env bash
# windows-package.sh --bin DIR --deps PREFIX --init FILE [--name NAME]
#                    [--args ARGS] [--icon FILE.ico] [--sign CERT.pfx]
#                    [--out DIR]
# Makes the Windows packages from built programs: OUT/qsnclient-win64.zip,
# the host's working directory without init.dat, and
# OUT/qsnclient-win64-setup.exe, the per-user installer carrying FILE as
# init.dat. DIR is the build folder: qsnclient.exe, qsnpack.exe and the
# VERSION file CMake wrote there; PREFIX is the folder
# scripts/windows-deps.sh printed (Tcl's and Tk's script libraries come from
# there). NAME names the installed folder, shortcut and uninstall entry
# (default qsnclient); ARGS is the shortcut's command line; the icon is the
# installer's (default: the programs'). With --sign, both programs, the
# installer and its uninstaller are signed by scripts/windows-sign.sh (the
# password and a timestamp server: see there). OUT: dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { sed -n '2,4p' "$0" | sed 's/^# //' >&2; exit 2; }
bin='' deps='' init='' name=qsnclient args='' out=$root/dist
icon=$root/packaging/windows/qsnclient.ico
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --bin) bin=$2 ;;
    --deps) deps=$2 ;;
    --init) init=$2 ;;
    --name) name=$2 ;;
    --args) args=$2 ;;
    --icon) icon=$(realpath "$2") ;;
    --sign) export QSN_SIGN_CERT; QSN_SIGN_CERT=$(realpath "$2") ;;
    --out) out=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -z "$bin" ] || [ -z "$deps" ] || [ -z "$init" ]; then usage; fi
for f in "$bin/qsnclient.exe" "$bin/qsnpack.exe" "$bin/VERSION" "$init" "$icon" \
  "$deps/lib/tcl8.6/init.tcl" "$deps/lib/tk8.6/tk.tcl"; do
  [ -f "$f" ] || { echo "windows-package: missing $f" >&2; exit 1; }
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
stage_root=$(mktemp -d)
trap 'rm -rf "$stage_root"' EXIT
stage=$stage_root/qsnclient-win64

# The host names lib\tcl8.5 for Tcl's library, whatever Tcl's version; Tcl
# looks for its modules (msgcat, http) in lib\tcl8 beside it.
mkdir -p "$stage/lib"
cp "$bin/qsnclient.exe" "$bin/qsnpack.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage/qsnclient.exe" "$stage/qsnpack.exe"
# Signed after stripping: a signature covers the bytes it was made on.
signer=()
if [ -n "${QSN_SIGN_CERT:-}" ]; then
  "$root/scripts/windows-sign.sh" "$stage/qsnclient.exe" "$stage/qsnpack.exe"
  signer=("-DSIGN=$root/scripts/windows-sign.sh")
fi
cp -r "$deps/lib/tcl8.6" "$stage/lib/tcl8.5"
cp -r "$deps/lib/tcl8" "$stage/lib/tcl8"
cp -r "$deps/lib/tk8.6" "$stage/lib/tk8.6"
sed 's/$/\r/' "$root/packaging/windows/README.txt" >"$stage/README.txt"

rm -f "$out/qsnclient-win64.zip"
(cd "$stage_root" && zip -qrX "$out/qsnclient-win64.zip" qsnclient-win64)
echo "$out/qsnclient-win64.zip"

# Windows counts versions in four numbers, the last of them 0 here.
version=$(grep -oE '^[0-9]+\.[0-9]+\.[0-9]+' "$bin/VERSION")
makensis -V2 -NOCD -INPUTCHARSET UTF8 "-DSTAGE=$stage" "-DINIT_DAT=$(realpath "$init")" \
  "-DOUTFILE=$out/qsnclient-win64-setup.exe" "-DAPP_NAME=$name" "-DAPP_ARGS=$args" \
  "-DVERSION=$version" "-DICON=$icon" "${signer[@]}" \
  "$root/packaging/windows/installer.nsi" >&2
echo "$out/qsnclient-win64-setup.exe"
