#!/usr/bin/env bash
# install-deps.sh [LIST...]: installs the Debian packages of deps/LIST.txt
# (of every list in deps/ when none is named) that are not installed yet.
# Runs apt-get update once, and only when something is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

lists=()
for name in "$@"; do
  [ -f "$root/deps/$name.txt" ] || { echo "install-deps.sh: no list deps/$name.txt" >&2; exit 2; }
  lists+=("$root/deps/$name.txt")
done
[ $# -gt 0 ] || lists=("$root"/deps/*.txt)

missing=()
for pkg in $(sed -e 's/#.*//' "${lists[@]}" | tr -s ' \t' '\n\n' | sort -u); do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "run as root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
