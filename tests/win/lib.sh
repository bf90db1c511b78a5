# shellcheck shell=bash
# Helpers for the tests of the Windows host under Wine, on top of the
# end-to-end helpers (tests/e2e/lib.sh): a test script sources this inside
# a session of scripts/wine-lib.sh. QSNCLIENT_EXE is the Windows host,
# QSNLIB the Windows package's lib folder.
# shellcheck source-path=SCRIPTDIR source=../e2e/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
# shellcheck source=../../scripts/wine-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-lib.sh"
QSNCLIENT_EXE=${QSNCLIENT_EXE:?path of qsnclient.exe}
QSNLIB=${QSNLIB:?lib folder of the Windows package}
# Unattended: a failure at start-up shows no message box to wait on.
export QSNCLIENT_NO_MESSAGE_BOX=1

# windir NAME: a fresh working directory holding the host's libraries.
windir() {
  local dir
  dir=$(workdir "$1")
  ln -s "$QSNLIB" "$dir/lib"
  echo "$dir"
}

# run_win DIR ARGS...: runs the Windows host in DIR, its standard output
# and error into DIR/stdout and DIR/stderr; sets $rc.
# shellcheck disable=SC2034  # rc is the caller's
run_win() {
  local dir=$1
  shift
  rc=0
  (cd "$dir" && wine "$QSNCLIENT_EXE" "$@") >"$dir/stdout" 2>"$dir/stderr" || rc=$?
}

# box_run DIR SHOT TITLE [ENV...]: runs the host in DIR under `env ENV`
# without QSNCLIENT_NO_MESSAGE_BOX, waits for a window whose title matches
# TITLE (a message box), shoots it into SHOT and closes it with Enter; sets
# $rc, $box (the box's window, empty when none came) and $box_text (the
# box's text, when ENV holds WINEDEBUG=trace+msgbox: Wine then traces it,
# its first 280 characters or so).
# shellcheck disable=SC2034  # rc, box and box_text are the caller's
box_run() {
  local dir=$1 shot=$2 title=$3
  shift 3
  (cd "$dir" && exec env -u QSNCLIENT_NO_MESSAGE_BOX "$@" wine "$QSNCLIENT_EXE") \
    >/dev/null 2>"$scratch/box.stderr" &
  local host=$!
  box=
  for _ in $(seq 150); do
    box=$(xdotool search --name "$title" 2>/dev/null | head -n 1) && [ -n "$box" ] && break
    sleep 0.1
  done
  if [ -n "$box" ]; then
    sleep 0.5
    import -window "$box" "$shot"
    xdotool windowfocus --sync "$box" key Return
  fi
  rc=0
  timeout 30 tail --pid="$host" -f /dev/null || kill "$host"
  wait "$host" || rc=$?
  box_text=$(traced_box_text <"$scratch/box.stderr")
}

# traced_box_text: the text of the message box Wine's msgbox trace on
# standard input shows, its escapes (\n, \\, \" and \XXXX for a character
# outside ASCII) undone, in UTF-8.
traced_box_text() {
  perl -CO -ne 'next unless s/.*:MSGBOX_OnInit L"(.*)"$/$1/;
    s/\\([0-9a-f]{4}|.)/length $1 > 1 ? chr hex $1 : $1 eq "n" ? "\n" : $1/ge;
    print'
}

# `sh -c "$read_only_folder" sh OVERLAY COMMAND...` runs COMMAND in the
# working directory made a read-only bind mount, in a mount namespace of its
# own. Wine's server opens files for its programs, so COMMAND gets a server
# of its own there: the session's hidden, the prefix a copy-on-write view
# with OVERLAY (an empty folder) taking what the server writes. The status
# is COMMAND's.
# shellcheck disable=SC2016,SC2034  # expanded by that sh; for the tests
read_only_folder='over=$1
shift
mkdir -p "$over/upper" "$over/work" "/tmp/.wine-$(id -u)"
exec unshare -m sh -c '"'"'over=$1
shift
mount -t tmpfs none "/tmp/.wine-$(id -u)" &&
  mount -t overlay overlay \
    -o "lowerdir=$WINEPREFIX,upperdir=$over/upper,workdir=$over/work" "$WINEPREFIX" &&
  mount --bind -o ro "$PWD" "$PWD" && cd "$PWD" || exit 125
status=0
"$@" || status=$?
wineserver -k
exit $status'"'"' sh "$over" "$@"'

# Where box_run's pictures go.
shots=${QSN_SHOTS:-$scratch}
mkdir -p "$shots"
