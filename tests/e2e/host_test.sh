#!/usr/bin/env bash
# shellcheck disable=SC2154  # scratch, rc and host_limit come from lib.sh
# The real qsnclient in a scratch working directory: start-up, the command
# line, the init file, the log and mputs, loglevel, errors and exit.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"

ts='\[[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\]:'

# The vector made with iconv and openssl alone runs and logs in CP866, CR LF.
d=$(workdir vector)
cp "$TEST_DATA/sample-init.dat" "$d/init.dat"
run_host "$d"
check "vector exits 0" equals status 0 "$rc"
check "vector log lines" grep -qaE "^${ts}Добро пожаловать в систему"$'\r'"\$" <(log_of "$d")
check "vector second line" grep -qaE "^${ts}Ёлка ё Ё"$'\r'"\$" <(log_of "$d")
check "vector: no display, then exactly two lines" equals lines 3 "$(grep -c $'\r$' "$d/qsnclient.log")"
check "vector: no display said first" equals line "$(no_display)"$'\r' "$(head -n 1 "$d/qsnclient.log")"

# The command line reaches the script; Tk takes its own options out even
# when it then fails for want of a display.
args_script='mputs "argv=<$argv> argc=$argc argv0=$argv0 interactive=$tcl_interactive tk=[llength [info commands winfo]]"'
d=$(workdir args)
pack_into "$d" <<<"$args_script"
run_host "$d" a "b c"
check "two words, one with a blank" log_has "$d" "argv=<a {b c}> argc=2 argv0=$QSNCLIENT interactive=0 tk=0"
run_host "$d"
check "no arguments" log_has "$d" "argv=<> argc=0 "
run_host "$d" -name X a
check "Tk option taken out" log_has "$d" "argv=<a> argc=1 "
# A command line Tk refuses leaves both as the host set them: argc counts
# the program name too.
run_host "$d" -help a
check "Tk refuses: the host's own count" log_has "$d" "argv=<-help a> argc=3 "

# With a display Tk is there and its options are taken out the same way.
if command -v xvfb-run >/dev/null; then
  pack_into "$d" <<<"$args_script; mputs screen=[winfo exists .]"
  (cd "$d" && xvfb-run -a timeout "$host_limit" "$QSNCLIENT" -name X a "b c") && rc=0 || rc=$?
  check "xvfb exits 0" equals status 0 "$rc"
  check "xvfb argv" log_has "$d" "argv=<a {b c}> argc=2 argv0=$QSNCLIENT interactive=0 tk=1"
  check "xvfb main window" log_has "$d" "screen=1"
else
  echo "xvfb-run missing: display case not run" >&2
  failed=$((failed + 1))
fi

# No init.dat: one line, nothing evaluated, status 0; the line on stderr too,
# after the one on the missing display.
d=$(workdir missing)
run_host "$d" 2>"$d/stderr"
check "missing exits 0" equals status 0 "$rc"
check "missing says so" equals log "$(no_display)"$'\r\n'"Init file not found"$'\r' "$(cat "$d/qsnclient.log")"
check "missing says so on stderr" equals stderr "$(no_display)"$'\n'"Init file not found" "$(cat "$d/stderr")"

# An init.dat that is no regular file counts as missing, never waited on:
# a FIFO would keep the host waiting for a writer for ever.
d=$(workdir fifo)
mkfifo "$d/init.dat"
rc=0
(cd "$d" && env -u DISPLAY timeout 10 "$QSNCLIENT") 2>/dev/null || rc=$?
check "FIFO init.dat: exits 0 at once" equals status 0 "$rc"
check "FIFO init.dat: missing" log_has "$d" "Init file not found"

# A broken script library: said in the log and on stderr; the script
# still runs. (Tcl tries no other library after the folder's; this one
# also takes `source` away so that nothing more of it loads.)
d=$(workdir brokenlib)
mkdir -p "$d/lib/tcl8.5"
echo 'rename source {}; error "library broken"' >"$d/lib/tcl8.5/init.tcl"
pack_into "$d" <<<'mputs ran'
run_host "$d" 2>"$d/stderr"
check "broken library: logged" log_has "$d" "Tcl_Init: Can't find a usable init.tcl"
check "broken library: on stderr" grep -q "^Tcl_Init: Can't find a usable init.tcl" "$d/stderr"
check "broken library: the script runs" log_has "$d" "]:ran"

# The script library comes from the working folder's lib or the system's
# Tcl only: what lies beside the program's folder, where Tcl would also
# look (auto_path, the module path), never runs. The program lies in app/,
# as installed, and the folder above it holds a package index, a module and
# a msgcat newer than the real one.
d=$(workdir plant)
mkdir -p "$d/app" "$d/lib/evil" "$d/lib/tcl8/8.5" "$d/lib/tcl8.6"
cp "$QSNCLIENT" "$d/app/qsnclient"
for planted in lib/evil/pkgIndex.tcl lib/tcl8/8.5/msgcat-9.9.tm lib/tcl8.6/init.tcl; do
  echo "close [open {$d/ran-${planted//\//-}} w]; package provide msgcat 9.9" >"$d/$planted"
done
pack_into "$d/app" <<'TCL'
catch {package require nosuch}
set month [clock format 0 -format %B -locale ru -gmt 1]
mputs "http=[package require http] msgcat=[package provide msgcat] month=$month"
TCL
(cd "$d/app" && env -u DISPLAY ./qsnclient) 2>/dev/null
check "planted: the system's packages load" matches log 'http=2[.0-9]+ msgcat=1[.0-9]+ month=Январь' "$(log_of "$d/app")"
check "planted: nothing beside the program ran" equals files "" "$(cd "$d" && ls -d ran-* 2>/dev/null)"

# mputs writes "[timestamp]:words" with no blank after the colon.
d=$(workdir mputs)
pack_into "$d" <<'TCL'
mputs Начало работы
mputs
mputs "a  b" c
TCL
run_host "$d"
check "mputs format" grep -qaE "^${ts}Начало работы"$'\r'"\$" <(log_of "$d")
check "mputs empty" grep -qaE "^${ts}"$'\r'"\$" <(log_of "$d")
check "mputs spaces kept" grep -qaE "^${ts}a  b c"$'\r'"\$" <(log_of "$d")

# loglevel: linked both ways, 0 silences everything, integers only: what
# merely begins one is refused too and leaves the level in force, and a
# number in any form reads back plain.
d=$(workdir loglevel)
pack_into "$d" <<'TCL'
mputs start=$loglevel
set r [catch {set loglevel abc} msg]
mputs refused=$r level=$loglevel msg=$msg
set loglevel 2
foreach v {{} + - 0x 0b 0o} {
    lappend partial [catch {set loglevel $v} m] [expr {$m eq $msg}] $loglevel
}
mputs "hidden at level 2"
set loglevel 0x10
set hex $loglevel
foreach v {2147483648 -2147483649 99999999999999999999} {
    lappend wide [catch {set loglevel $v}] $loglevel
}
set loglevel 2147483647
lappend wide $loglevel
set loglevel " 4 "
mputs partial=$partial hex=$hex wide=$wide
mputs four=$loglevel
set loglevel 0
mputs silent
error "not logged either"
TCL
run_host "$d"
check "loglevel starts at 3" log_has "$d" "start=3"
check "non-integer refused" log_has "$d" "refused=1 level=3 msg=can't set \"loglevel\": variable must have integer value"
check "beginnings of integers refused" log_has "$d" "partial=1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 1 1 2 hex=16"
check "integers past an int refused" log_has "$d" "wide=1 16 1 16 1 16 2147483647"
check "level kept in force" bash -c "! grep -qa hidden '$d/qsnclient.log'"
check "loglevel 4" log_has "$d" "four=4"
check "loglevel 0 silences" bash -c "! grep -qa -e silent -e 'not logged' '$d/qsnclient.log'"

# A failing script leaves its trace at level 1; the status stays 0.
d=$(workdir error)
pack_into "$d" <<'TCL'
proc fail {} {error "сбой в сценарии"}
mputs before
fail
mputs after
TCL
LC_ALL=C.UTF-8 run_host "$d" 2>"$d/stderr"
check "error exits 0" equals status 0 "$rc"
check "error trace" log_has "$d" $'сбой в сценарии\n    while executing\n"error "сбой в сценарии""\n    (procedure "fail" line 1)'
check "error stops the script" bash -c "! grep -qa after '$d/qsnclient.log'"
trace=$(log_of "$d" | tr -d '\r' | grep -v ']:before$')
check "error trace on stderr as in the log" equals stderr "$trace" "$(cat "$d/stderr")"
# ... in the terminal's encoding: a KOI8-R locale made for the test.
mkdir -p "$scratch/locales"
if localedef -i ru_RU -f KOI8-R "$scratch/locales/ru_RU.KOI8-R" 2>/dev/null; then
  (cd "$d" && env -u DISPLAY LOCPATH="$scratch/locales" LC_ALL=ru_RU.KOI8-R \
    timeout "$host_limit" "$QSNCLIENT") 2>"$d/stderr"
  check "stderr in KOI8-R" equals stderr "$trace" "$(iconv -f KOI8-R -t UTF-8 "$d/stderr")"
else
  echo "localedef cannot make a KOI8-R locale (package locales)" >&2
  failed=$((failed + 1))
fi

# A trace of a hundred lines is cut on stderr to its first twenty and a
# line "...".
d=$(workdir longtrace)
pack_into "$d" <<'TCL'
error "сбой[string repeat "\nстрока" 100]"
TCL
LC_ALL=C.UTF-8 run_host "$d" 2>"$d/stderr"
check "long trace: the first twenty lines and ..." equals stderr \
  "$(no_display)"$'\nсбой'"$(printf '\nстрока%.0s' {1..19})"$'\n...' "$(cat "$d/stderr")"
# A background error: its trace in the log at level 1, then the usual
# handling, here Tcl's own without Tk (the trace on stderr). A bgerror proc
# the script defines later still gets the error, after the log.
d=$(workdir background)
pack_into "$d" <<'TCL'
after 0 {error "фоновый сбой"}
after 50 {set ::step 1}
vwait ::step
proc bgerror {message} { mputs "own handler: $message" }
after 0 {error "второй сбой"}
after 50 {set ::step 2}
vwait ::step
TCL
LC_ALL=C.UTF-8 run_host "$d" 2>"$d/stderr"
check "background error exits 0" equals status 0 "$rc"
check "background error logged" log_has "$d" $'фоновый сбой\n    while executing\n"error "фоновый сбой""\n    ("after" script)'
check "then Tcl's own handling" grep -q 'фоновый сбой' "$d/stderr"
check "logged, then the script's bgerror" \
  matches log $'второй сбой\n    while executing\n.*]:own handler: второй сбой' "$(log_of "$d" | tr -d '\r')"
check "the script's bgerror replaces Tcl's" bash -c "! grep -q 'второй сбой' '$d/stderr'"

# exit N ends at once with N; every line logged before it is there.
d=$(workdir exit)
pack_into "$d" <<'TCL'
for {set i 0} {$i < 100} {incr i} { mputs line $i }
exit 3
mputs unreachable
TCL
run_host "$d"
check "exit status" equals status 3 "$rc"
check "log complete before exit" log_has "$d" "line 99"
check "nothing after exit" bash -c "! grep -qa unreachable '$d/qsnclient.log'"

# Cyrillic literals arrive intact as Tcl characters.
d=$(workdir cyrillic)
pack_into "$d" <<'TCL'
set s "Съешь же ещё этих мягких булок"
mputs $s [string length $s] [string toupper ё]
TCL
run_host "$d"
check "cyrillic literal" log_has "$d" "Съешь же ещё этих мягких булок 30 Ё"

# A log that cannot be created: the script still runs.
d=$(workdir nolog)
mkdir "$d/qsnclient.log"
pack_into "$d" <<<'mputs x; set f [open ran w]; puts $f yes; close $f'
run_host "$d"
check "no log: exits 0" equals status 0 "$rc"
check "no log: script ran" equals marker yes "$(cat "$d/ran" 2>/dev/null)"

# No Blowfish (OpenSSL's legacy provider missing): said once, nothing run.
d=$(workdir nocipher)
pack_into "$d" <<<'set f [open ran w]; close $f'
(cd "$d" && OPENSSL_MODULES="$d/none" env -u DISPLAY timeout "$host_limit" "$QSNCLIENT") &&
  rc=0 || rc=$?
check "no cipher: exits 0" equals status 0 "$rc"
check "no cipher: one line after the display's" equals lines 2 "$(grep -c . "$d/qsnclient.log")"
check "no cipher: says why" log_has "$d" "no Blowfish-CBC cipher"
check "no cipher: nothing ran" test ! -e "$d/ran"

# An OpenSSL configuration is never read: one that allows only FIPS
# algorithms, named by OPENSSL_CONF, would take Blowfish away from the
# packer and the host alike.
d=$(workdir hostile-openssl-conf)
printf '%s\n' 'openssl_conf = init' '[init]' 'alg_section = algorithms' \
  '[algorithms]' 'default_properties = "fips=yes"' >"$d/openssl.cnf"
export OPENSSL_CONF=$d/openssl.cnf
pack_into "$d" <<<'mputs "deciphered and ran"'
run_host "$d"
unset OPENSSL_CONF
check "hostile OPENSSL_CONF: packed, deciphered and ran" log_has "$d" "deciphered and ran"

# Damaged init files: never a crash, status 0; what deciphers is judged by
# the interpreter, and its complaint is in the log.
d=$(workdir damaged)
pack_into "$d" <<<'mputs "first block is long enough to matter"; mputs second'
cp "$d/init.dat" "$d/good.dat"
: >"$d/init.dat"
run_host "$d"
check "empty init.dat: status 0" equals status 0 "$rc"
check "empty init.dat: the display's line alone" equals log "$(no_display)"$'\r' "$(cat "$d/qsnclient.log")"
head -c 20 "$d/good.dat" >"$d/init.dat"
run_host "$d" 2>/dev/null
check "truncated, not a multiple of 8: status 0" equals status 0 "$rc"
check "truncated: the interpreter's complaint" log_has "$d" 'missing "'
head -c 4096 /dev/urandom >"$d/init.dat"
run_host "$d" 2>/dev/null
check "garbage: status 0" equals status 0 "$rc"
check "garbage: every line break is CR LF" \
  equals "line breaks" "$(wc -l <"$d/qsnclient.log")" "$(grep -ac $'\r$' "$d/qsnclient.log")"

# Two instances in one folder. The second keeps a copy of the first's log
# as qsnclient.log.1 and empties the log, where the first's later lines
# then land among its own: nothing lost, nothing mixed.
all=$(seq -s' ' 0 299)
d=$(workdir two)
pack_into "$d" <<<"$instances_script"
two_instances "$d" together env -u DISPLAY "$QSNCLIENT"
check "two: the first's lines before the second, in .1" \
  equals A "$(seq -s' ' 0 99)" "$(numbers_of "$d/qsnclient.log.1" A)"
check "two: .1 is the first's alone" equals B "" "$(numbers_of "$d/qsnclient.log.1" B)"
check "two: the second's lines, all" equals B "$all" "$(numbers_of "$d/qsnclient.log" B)"
check "two: the first's later lines in the log" \
  equals A "$(seq -s' ' 100 299)" "$(numbers_of "$d/qsnclient.log" A)"
check "two: whole lines in .1" whole_lines "$d/qsnclient.log.1"
check "two: whole lines in the log" whole_lines "$d/qsnclient.log"
# Where no copy can be kept, the second empties the log all the same; the
# first's later lines land at its end among the second's, not at the old
# offset behind a hole of zeros.
d=$(workdir two-held)
pack_into "$d" <<<"$instances_script"
two_instances "$d" held env -u DISPLAY "$QSNCLIENT"
check "held: the second's lines, all" equals B "$all" "$(numbers_of "$d/qsnclient.log" B)"
check "held: the first's after the emptying" \
  equals A "$(seq -s' ' 100 299)" "$(numbers_of "$d/qsnclient.log" A)"
check "held: whole lines" whole_lines "$d/qsnclient.log"
# A third instance keeps the second's log, which holds the first's lines
# since the second started, and the first's lines after the third's start
# still reach the log.
d=$(workdir three)
pack_into "$d" <<<"$instances_script"
three_instances "$d" env -u DISPLAY "$QSNCLIENT"
check "three: the first's lines between the second's start and the third's, in .1" \
  equals A "$(seq -s' ' 100 199)" "$(numbers_of "$d/qsnclient.log.1" A)"
check "three: the first's last lines in the log" \
  equals A "$(seq -s' ' 200 299)" "$(numbers_of "$d/qsnclient.log" A)"
check "three: the third's lines, all" equals C "$all" "$(numbers_of "$d/qsnclient.log" C)"
check "three: whole lines in .1" whole_lines "$d/qsnclient.log.1"
check "three: whole lines in the log" whole_lines "$d/qsnclient.log"

# A log that is a symbolic link (a deployment pointing it elsewhere) stays
# the link: the file it names is emptied and written, a copy of its last
# run kept beside the link, with the log's permission bits.
d=$(workdir linked)
mkdir "$d/elsewhere"
printf 'last run\r\n' >"$d/elsewhere/client.log"
chmod 600 "$d/elsewhere/client.log"
ln -s elsewhere/client.log "$d/qsnclient.log"
pack_into "$d" <<<'mputs "this run"'
run_host "$d"
check "linked: still a link" test -L "$d/qsnclient.log"
check "linked: the file it names holds this run alone" equals "this run, last run" "1 0" \
  "$(grep -c ']:this run' "$d/elsewhere/client.log") $(grep -c 'last run' "$d/elsewhere/client.log")"
check "linked: the last run kept as .1" equals .1 "last run"$'\r' "$(cat "$d/qsnclient.log.1")"
check "linked: .1 as private as the log" equals mode 600 "$(stat -c %a "$d/qsnclient.log.1")"

# A working directory deeper than the host's path buffer: the log still
# lands in it, not in the root folder.
d=$(workdir deep)
deep=$d
segment=$(printf 'd%.0s' {1..150})
for _ in {1..8}; do deep+=/$segment; done
mkdir -p "$deep"
pack_into "$deep" <<<'mputs "deep here"'
run_host "$deep"
check "deep folder: status 0" equals status 0 "$rc"
check "deep folder: log beside init.dat" log_has "$deep" "deep here"

finish
