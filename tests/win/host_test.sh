#!/usr/bin/env bash
# The Windows host, qsnclient.exe, under Wine: the command line and Tk,
# Tcl's library from the working directory and nowhere else, the exit
# status, a missing init file and the message box of failures, the log's
# bytes against the Linux host's, the log shared with another process while
# the host writes it, two instances writing one folder's log, a Russian
# command line, a start with no standard handles, and the packer with names
# outside the ANSI code page.
#
# Environment: QSNCLIENT_EXE (the Windows host), QSNCLIENT and QSNPACK (the
# Linux host and packer), QSNLIB (the Windows package's lib folder, beside
# the package's qsnpack.exe), TEST_DATA. Runs inside a session of
# scripts/wine-lib.sh. Screenshots of the message box go to $QSN_SHOTS when
# it is set.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"

ts='\[[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\]'

# The command line reaches the script, Tk takes its options out of it, the
# main window is up on Windows' own windowing system, and Tcl's library is
# the one in the working directory, named by TCL_LIBRARY.
d=$(windir args)
pack_into "$d" <<'TCL'
mputs "argv=<$argv> argc=$argc argv0=[file tail $argv0] tk=[tk windowingsystem]" \
    "screen=[winfo exists .] library=[expr {[info library] eq [file nativename \
    [file join [pwd] lib tcl8.5]]}] env=[expr {$env(TCL_LIBRARY) eq [info library]}]"
exit 3
TCL
run_win "$d" a "b c"
check "exit status" equals status 3 "$rc"
check "argv, Tk and Tcl's library" log_has "$d" \
  "argv=<a {b c}> argc=2 argv0=qsnclient.exe tk=win32 screen=1 library=1 env=1"
run_win "$d" -name X a
check "Tk option taken out" log_has "$d" "argv=<a> argc=1 "
run_win "$d"
check "no arguments" log_has "$d" "argv=<> argc=0 "

# No init.dat: one line, status 0; a GUI program has no console to say it on.
d=$(windir missing)
run_win "$d"
check "missing: status 0" equals status 0 "$rc"
check "missing: says so" equals log "Init file not found"$'\r' "$(cat "$d/qsnclient.log")"
check "missing: nothing on stderr" equals stderr "" "$(cat "$d/stderr")"

# Without QSNCLIENT_NO_MESSAGE_BOX a failure at start-up shows a message box
# with the first lines of what failed and the log's path, in the user's
# language, and waits for it; the status stays 0.
d=$(windir failing)
pack_into "$d" <<'TCL'
proc connect {} {error "no server address[string repeat "\nline of the trace" 40]"}
connect
TCL
box_run "$d" "$shots/box-failing-script.png" '^qsnclient$' LC_ALL=C.UTF-8
check "box: shown" test -n "$box"
check "box: closed, status 0" equals status 0 "$rc"
check "box: a picture of it" test -s "$shots/box-failing-script.png"
check "box: the trace in the log" log_has "$d" $'no server address\nline of the trace'

# In a folder the user may not write (a read-only bind mount here) no log
# can be written: the box says so, rather than pointing at a log that is not
# there. Without init.dat, so that all of the box's text fits Wine's trace.
d=$(windir read-only)
box_run "$d" "$shots/box-read-only.png" '^qsnclient$' LC_ALL=C.UTF-8 \
  WINEDEBUG=trace+msgbox sh -c "$read_only_folder" sh "$scratch/read-only-overlay"
check "read-only: a box" test -n "$box"
check "read-only: no log" test ! -e "$d/qsnclient.log"
check "read-only: the box says the log could not be written" equals text \
  "The application could not start, or it ended with an error:

Init file not found

The log could not be written: $(winpath "$d")\qsnclient.log" "$box_text"

# A missing lib\tcl8.5 says that Tcl's library is missing and where it
# was looked for; nothing else starts. In Russian under a Russian locale.
d=$(workdir nolibrary)
pack_into "$d" <<<'mputs ran'
if localedef -i ru_RU -f UTF-8 "$scratch/ru_RU.UTF-8" 2>/dev/null; then
  box_run "$d" "$shots/box-no-library-ru.png" '^qsnclient$' LOCPATH="$scratch" \
    LC_ALL=ru_RU.UTF-8
  check "no library: a box" test -n "$box"
else
  echo "localedef cannot make a Russian locale (package locales)" >&2
  failed=$((failed + 1))
fi
check "no library: status 0" equals status 0 "$rc"
check "no library: says where it looked" equals log \
  "Tcl's library is missing: no init.tcl in $(winpath "$d")\\lib\\tcl8.5"$'\r' \
  "$(cat "$d/qsnclient.log")"

# Tcl's library, Tk's, the packages, the modules and the encodings come
# from the working folder's lib only. The program lies in app\, as
# installed in C:\app; the folder above it holds what Tcl would also take:
# a package index, a module, a msgcat newer than the real one, a library of
# its own, and a table of Windows' code page (cp1252 under C.UTF-8) that
# reads A as B. Neither with the folder's lib, nor without its lib\tcl8.5,
# nor without that table in it does any of it serve.
d=$(workdir plant)
mkdir -p "$d/app" "$d/bare" "$d/nocodepage" "$d/lib/evil" "$d/lib/tcl8/8.5" \
  "$d/lib/tcl8.6/encoding" "$d/lib/tk8.6"
for folder in app bare nocodepage; do cp "$QSNCLIENT_EXE" "$d/$folder/"; done
ln -s "$QSNLIB" "$d/app/lib"
mkdir -p "$d/bare/lib/tk8.6"
cp -r "$QSNLIB" "$d/nocodepage/lib"
rm "$d/nocodepage/lib/tcl8.5/encoding/cp1252.enc"
sed 's/^00400041/00400042/' "$QSNLIB/tcl8.5/encoding/cp1252.enc" \
  >"$d/lib/tcl8.6/encoding/cp1252.enc"
for planted in lib/evil/pkgIndex.tcl lib/tcl8/8.5/msgcat-9.9.tm lib/tcl8.6/init.tcl \
  lib/tk8.6/tk.tcl; do
  echo "close [open {$(winpath "$d")\\ran-${planted//\//-}} w]; package provide msgcat 9.9" \
    >"$d/$planted"
done
script='catch {package require nosuch}
set month [clock format 0 -format %B -locale ru -gmt 1]
mputs "http=[package require http] msgcat=[package provide msgcat] month=$month"
mputs "auto_path=[lmap dir $auto_path {file normalize $dir}]"
mputs "A->[encoding convertfrom A]"'
for folder in app bare nocodepage; do pack_into "$d/$folder" <<<"$script"; done
QSNCLIENT_EXE=$d/app/qsnclient.exe LC_ALL=C.UTF-8 run_win "$d/app"
check "planted: the folder's packages load" \
  matches log 'http=2[.0-9]+ msgcat=1[.0-9]+ month=Январь' "$(log_of "$d/app")"
app=$(winpath "$d/app" | tr '\\' /)
check "planted: auto_path is the folder's lib" \
  log_has "$d/app" "auto_path=$app/lib/tcl8.5 $app/lib"
check "planted: the folder's table of the code page" log_has "$d/app" "A->A"
QSNCLIENT_EXE=$d/bare/qsnclient.exe run_win "$d/bare"
check "planted, no library: said" log_has "$d/bare" "Tcl's library is missing"
QSNCLIENT_EXE=$d/nocodepage/qsnclient.exe LC_ALL=C.UTF-8 run_win "$d/nocodepage"
check "planted, no table of the code page: said, nothing ran" equals log \
  "The system encoding's table is missing: no cp1252.enc in $(winpath "$d")\\nocodepage\\lib\\tcl8.5\\encoding"$'\r' \
  "$(cat "$d/nocodepage/qsnclient.log")"
check "planted: nothing beside the program ran" equals files "" "$(cd "$d" && ls -d ran-* 2>/dev/null)"

# The log's bytes are the Linux host's, timestamps aside: CP866 from the
# table and from the system's converter, the stop at a character CP866
# lacks, CR LF, the cut at 1004 bytes, a script error's trace.
script='mputs Начало работы
mputs "Ёё ░▒▓ ·" "ok ÷ lost"
mputs "two\nlines"
mputs [string repeat Ж 600]
set loglevel 1
mputs hidden
proc fail {} {error "сбой в сценарии"}
fail'
lin=$(workdir bytes-linux)
win=$(windir bytes-windows)
pack_into "$lin" <<<"$script"
cp "$lin/init.dat" "$win/"
run_host "$lin" 2>/dev/null
run_win "$win"
# The Linux host runs without a display and says so first; Wine has one.
same_bytes() {
  cmp <(LC_ALL=C sed -E -e '1{/^Tk_Init: /d}' -e "s/$ts/[T]/g" "$1") \
    <(LC_ALL=C sed -E "s/$ts/[T]/g" "$2")
}
check "log bytes as on Linux" same_bytes "$lin/qsnclient.log" "$win/qsnclient.log"
check "log: CP866, stopped at ÷" env LC_ALL=C grep -qaF $'\x8d\xa0\xe7\xa0\xab\xae \xe0\xa0\xa1\xae\xe2\xeb\r\n' \
  "$win/qsnclient.log"
check "log: cut at 1004 bytes" env LC_ALL=C grep -qaE "]:"$'\x86'"{502}"$'\r$' "$win/qsnclient.log"
check "log: the trace" log_has "$win" $'сбой в сценарии\n    while executing'

# While the host runs, another Windows program reads its log and appends to
# it: the host opened it sharing both.
d=$(windir shared)
pack_into "$d" <<'TCL'
mputs first
for {set i 0} {$i < 600 && ![file exists go]} {incr i} { after 50 }
mputs second
TCL
reader=$(windir reader)
pack_into "$reader" <<'TCL'
set f [open ../shared/qsnclient.log r]
set read [string match *first* [read $f]]
close $f
set wrote [expr {![catch {open ../shared/qsnclient.log a} f]}]
if {$wrote} { puts -nonewline $f "other\r\n"; close $f }
mputs read=$read wrote=$wrote
TCL
(cd "$d" && wine "$QSNCLIENT_EXE") &
host=$!
for _ in $(seq 100); do
  grep -q first "$d/qsnclient.log" 2>/dev/null && break
  sleep 0.1
done
run_win "$reader"
touch "$d/go"
wait "$host"
check "shared: read and appended while the host wrote" log_has "$reader" "read=1 wrote=1"
check "shared: the host went on writing" log_has "$d" "]:second"

# Two instances in one folder, as on Linux (tests/e2e/host_test.sh): the
# second keeps a copy of the first's log as qsnclient.log.1 and empties the
# log, where the first's later lines land at its end; where no copy can be
# kept, the log is emptied all the same. The two take turns: Wine writes to
# a handle opened for appending with two steps, the file's size and then a
# write at that offset, which another process can come between (Windows
# itself appends in one step).
all=$(seq -s' ' 0 299)
d=$(windir two)
pack_into "$d" <<<"$instances_script"
two_instances "$d" in-turn wine "$QSNCLIENT_EXE"
check "two: the first's lines before the second, in .1" \
  equals A "$(seq -s' ' 0 99)" "$(numbers_of "$d/qsnclient.log.1" A)"
check "two: the second's lines, all, then the first's" \
  equals "A and B" "$(seq -s' ' 100 299)|$all" \
  "$(numbers_of "$d/qsnclient.log" A)|$(numbers_of "$d/qsnclient.log" B)"
check "two: whole lines" whole_lines "$d/qsnclient.log.1"
check "two: whole lines in the log" whole_lines "$d/qsnclient.log"
d=$(windir two-held)
pack_into "$d" <<<"$instances_script"
two_instances "$d" held-in-turn wine "$QSNCLIENT_EXE"
check "held: the second's lines, all" equals B "$all" "$(numbers_of "$d/qsnclient.log" B)"
check "held: the first's after the emptying" \
  equals A "$(seq -s' ' 100 299)" "$(numbers_of "$d/qsnclient.log" A)"
check "held: whole lines" whole_lines "$d/qsnclient.log"

# A command line in Russian: the C runtime's vector is in the ANSI code
# page, which Wine takes from the locale: cp1251 in a Russian one carries
# Cyrillic; cp1252, the code page of C.UTF-8 and Western locales, cannot
# and gives question marks. The Russian locale is made for the test.
d=$(windir russian)
pack_into "$d" <<<'mputs "argv=<$argv> [encoding system]"'
if localedef -i ru_RU -f UTF-8 "$scratch/ru_RU.UTF-8" 2>/dev/null; then
  # (bash itself cannot take that locale, which is no concern here)
  { LOCPATH=$scratch LC_ALL=ru_RU.UTF-8 run_win "$d" Привет "б в"; } 2>/dev/null
  check "Russian locale: the words arrive" log_has "$d" "argv=<Привет {б в}> cp1251"
else
  echo "localedef cannot make a Russian locale (package locales)" >&2
  failed=$((failed + 1))
fi
LC_ALL=C.UTF-8 run_win "$d" Привет
check "C.UTF-8: question marks" log_has "$d" "argv=<??????> cp1252"

# A working folder whose name the ANSI code page lacks (a Russian user's
# profile on a Western Windows): Tcl's library and the log are still found
# there.
d=$(windir "Пользователь")
pack_into "$d" <<'TCL'
mputs "library=[expr {[info library] eq [file nativename [file join [pwd] lib tcl8.5]]}]" \
    "koi8=[expr {"koi8-r" in [encoding names]}] Проверка"
TCL
LC_ALL=C.UTF-8 run_win "$d"
check "Cyrillic folder: library and log found" log_has "$d" "library=1 koi8=1 Проверка"

# Started as Explorer and shortcuts start it, with no standard handles, the
# script still writes to stdout and stderr (into nothing) and reads end of
# file from stdin.
x86_64-w64-mingw32-gcc -municode -O2 -o "$scratch/no_handles.exe" \
  "$(dirname "$0")/no_handles.c"
d=$(windir nohandles)
pack_into "$d" <<'TCL'
puts hi
puts stderr "to no one"
flush stdout
mputs "gets=[gets stdin line] eof=[eof stdin] channels=[lsort [chan names std*]]"
TCL
rc=0
(cd "$d" && wine "$scratch/no_handles.exe" "$(winpath "$QSNCLIENT_EXE")") >/dev/null 2>&1 || rc=$?
check "no handles: status 0" equals status 0 "$rc"
check "no handles: writes and reads nothing" log_has "$d" "gets=-1 eof=1 channels=stderr stdin stdout"

# qsnpack.exe takes file names outside the ANSI code page (cp1252 under
# C.UTF-8): a Cyrillic script name in a Cyrillic folder, packed, packed
# again over its output, unpacked, and made into a development init.dat
# the host runs from there. Its messages name such files in UTF-8.
qsnpack_exe=$(dirname "$QSNLIB")/qsnpack.exe
d=$(windir "Папка")
printf 'mputs "из файла с русским именем"\n' >"$d/сценарий.tcl"
pack_win() { (cd "$d" && LC_ALL=C.UTF-8 wine "$qsnpack_exe" "$@") 2>"$d/stderr"; }
pack_win pack сценарий.tcl init.dat
check "packer: Cyrillic names packed" equals status 0 "$?"
pack_win pack сценарий.tcl init.dat
check "packer: packed again over its output" equals status 0 "$?"
pack_win unpack init.dat обратно.tcl
check "packer: unpacked to a Cyrillic name" cmp -s "$d/обратно.tcl" "$d/сценарий.tcl"
"$QSNPACK" unpack "$d/init.dat" "$d/linux.tcl"
check "packer: the Linux packer reads it alike" cmp -s "$d/linux.tcl" "$d/сценарий.tcl"
pack_win dev сценарий.tcl
check "packer: a development file" equals status 0 "$?"
LC_ALL=C.UTF-8 run_win "$d"
check "packer: the host runs it from the Cyrillic path" log_has "$d" "из файла с русским именем"
pack_win pack нет.tcl init.dat
check "packer: a message naming the file in UTF-8" equals stderr \
  "qsnpack: нет.tcl: No such file or directory" "$(tr -d '\r' <"$d/stderr")"

finish
