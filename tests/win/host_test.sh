#!/usr/bin/env bash
# The Windows host, qsnclient.exe, under Wine: the command line and Tk,
# Tcl's library from the working directory, the exit status, a missing init
# file, the log's bytes against the Linux host's, the log shared with
# another process while the host writes it, and a Russian command line.
#
# Environment: QSNCLIENT_EXE (the Windows host), QSNCLIENT and QSNPACK (the
# Linux host and packer), QSNLIB (the Windows package's lib folder),
# TEST_DATA. Runs inside a session of scripts/wine-lib.sh.
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

finish
