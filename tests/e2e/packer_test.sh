#!/usr/bin/env bash
# qsnpack from the command line, against openssl enc and iconv.
source "$(dirname "$0")/lib.sh"

key=5f1c2a9e07d3b4816e0f9a2cd3417b58
iv=a3c95e1077b2d04f
ossl() { openssl enc -bf-cbc -K $key -iv $iv -provider legacy -provider default "$@"; }

d=$(workdir packer)
cat >"$d/app.tcl" <<'TCL'
# Проверка: кириллица, фигурные скобки и обратная косая черта.
set greeting "Здравствуй, мир \{ё\}"
mputs $greeting
TCL

# pack: what openssl and iconv undo is the author's text.
"$QSNPACK" pack "$d/app.tcl" "$d/init.dat"
check "pack exits 0" equals status 0 "$?"
check "openssl deciphers pack" cmp -s <(ossl -d -in "$d/init.dat" | iconv -f KOI8-R -t UTF-8) "$d/app.tcl"

# What openssl and iconv make, the host runs and unpack reads back.
iconv -f UTF-8 -t KOI8-R "$d/app.tcl" | ossl -out "$d/ossl.dat"
check "same bytes as openssl" cmp -s "$d/ossl.dat" "$d/init.dat"
"$QSNPACK" unpack "$d/ossl.dat" "$d/back.tcl"
check "unpack reads openssl's file" cmp -s "$d/back.tcl" "$d/app.tcl"
cp "$d/ossl.dat" "$d/init.dat"
run_host "$d"
check "host runs openssl's file" log_has "$d" "Здравствуй, мир {ё}"

# - stands for standard input and output.
check "stdin to stdout round trip" cmp -s \
  <("$QSNPACK" pack - - <"$d/app.tcl" | "$QSNPACK" unpack - -) "$d/app.tcl"
check "help names both verbs" bash -c "'$QSNPACK' --help | grep -q 'qsnpack pack' && '$QSNPACK' --help | grep -q 'qsnpack unpack'"
"$QSNPACK" frobnicate a b 2>/dev/null
check "unknown verb is a usage error" equals status 2 "$?"

# expect_refusal NAME VERB INPUT PATTERN: exit 1, one line naming the input
# and the problem, and no output file left behind, not even a temporary one.
expect_refusal() {
  local name=$1 verb=$2 input=$3 pattern=$4 out="$d/out/result"
  rm -rf "$d/out" && mkdir "$d/out"
  local err status=0
  err=$(timeout 60 "$QSNPACK" "$verb" "$input" "$out" 2>&1 >/dev/null) || status=$?
  check "$name: status 1" equals status 1 "$status"
  check "$name: one line" equals lines 1 "$(printf '%s\n' "$err" | wc -l)"
  check "$name: names file and problem" grep -qE "^qsnpack: $input: .*$pattern" <<<"$err"
  check "$name: no output left" equals files "" "$(ls -A "$d/out")"
}

printf 'set a 1\nset b "中"\n' >"$d/chinese.tcl"
expect_refusal "no KOI8-R form" pack "$d/chinese.tcl" "U\+4E2D at line 2, column 8 has no KOI8-R form"
printf 'set a 1\0' >"$d/nul.tcl"
expect_refusal "NUL byte" pack "$d/nul.tcl" "NUL byte at line 1, column 8"
printf 'set a \xff\n' >"$d/latin.tcl"
expect_refusal "invalid UTF-8" pack "$d/latin.tcl" "invalid UTF-8 at line 1, column 7"
expect_refusal "missing file" pack "$d/absent.tcl" "No such file or directory"
head -c 13 "$d/ossl.dat" >"$d/short.dat"
expect_refusal "not a multiple of 8" unpack "$d/short.dat" "not a positive multiple of 8"
"$QSNPACK" pack "$d/app.tcl" - | head -c 16 >"$d/cut.dat"
expect_refusal "bad padding" unpack "$d/cut.dat" "bad padding"

# An input the host could not load is refused by its size, before it is
# read; /dev/zero as a source is refused at its first NUL, not read on.
truncate -s 2G "$d/huge"
expect_refusal "source too large" pack "$d/huge" "over 2147483539 bytes, more than the host loads"
expect_refusal "init file too large" unpack "$d/huge" "over 2147483547 bytes, more than the host loads"
rm -f "$d/huge"
expect_refusal "endless source" pack /dev/zero "NUL byte at line 1, column 1"
# A machine short of memory for a large script gets the one line too, not
# an abort. (The sanitizers reserve more address space than the cap leaves.)
if ! ldd "$QSNPACK" | grep -q libasan; then
  head -c 300000000 /dev/zero | tr '\0' x >"$d/large.tcl"
  err=$( (ulimit -v 400000; "$QSNPACK" pack "$d/large.tcl" "$d/large.dat") 2>&1)
  check "out of memory: status 1 and one line" equals message \
    "qsnpack: $d/large.tcl: out of memory" "$err"
  check "out of memory: no output" test ! -e "$d/large.dat"
  rm -f "$d/large.tcl"
fi

# A command left open is refused with the line where it starts, and found
# in one pass: a megabyte of commands before it takes no time.
{ yes 'set a 1' | head -n 125000; printf 'proc p {} {\n    set b 1\n'; } >"$d/open.tcl"
expect_refusal "unfinished command" pack "$d/open.tcl" \
  "missing close-brace: the command at line 125001 is not finished"

# An existing output file survives a refused run untouched.
echo keep >"$d/keep.dat"
"$QSNPACK" pack "$d/chinese.tcl" "$d/keep.dat" 2>/dev/null
check "refusal keeps old output" equals content keep "$(cat "$d/keep.dat")"

# Outputs that are not plain files are written to, never replaced.
mkfifo "$d/fifo"
# A replaced FIFO would leave its reader waiting for ever: bound it.
timeout 10 cat "$d/fifo" >"$d/from_fifo" &
reader=$!
timeout 10 "$QSNPACK" pack "$d/app.tcl" "$d/fifo"
check "pack into a FIFO exits 0" equals status 0 "$?"
wait "$reader"
check "FIFO still a FIFO" test -p "$d/fifo"
check "FIFO reader got the file" cmp -s "$d/from_fifo" "$d/init.dat"
"$QSNPACK" pack "$d/app.tcl" >(cat >"$d/from_subst")
check "pack into a pipe exits 0" equals status 0 "$?"
wait $!
check "pipe reader got the file" cmp -s "$d/from_subst" "$d/init.dat"

# dev: an init file that sources the script where it lies, by its absolute
# path, so an edit shows at the next start with no packing.
src="$d/src/Мой проект \$x [1]"
mkdir -p "$src"
cat >"$src/app.tcl" <<'TCL'
source [file join [file dirname [info script]] part.tcl]
mputs "[info script] $part"
TCL
echo 'set part первая' >"$src/part.tcl"
w=$(workdir dev)
(cd "$d/src" && "$QSNPACK" dev "Мой проект \$x [1]/app.tcl" "$w/init.dat")
check "dev exits 0" equals status 0 "$?"
run_host "$w"
check "dev runs the script by its absolute path" log_has "$w" "$src/app.tcl первая"
echo 'set part вторая' >"$src/part.tcl"
run_host "$w"
check "dev: an edit shows without packing" log_has "$w" "$src/app.tcl вторая"
rm "$w/init.dat"
(cd "$w" && "$QSNPACK" dev "$src/app.tcl")
run_host "$w"
check "dev writes init.dat by default" log_has "$w" "$src/app.tcl вторая"
# A folder past U+FFFF: Tcl would make two surrogates of a \U escape.
smile_src="$d/src/смайл 😀"
mkdir -p "$smile_src"
# (The log has no form for the character: the script says it found itself.)
echo 'mputs "runs from itself: [file exists [info script]]"' >"$smile_src/app.tcl"
w=$(workdir devsmile)
"$QSNPACK" dev "$smile_src/app.tcl" "$w/init.dat"
run_host "$w"
check "dev: a path past U+FFFF runs" log_has "$w" "runs from itself: 1"
check "dev's help says development only" bash -c "'$QSNPACK' --help | grep -q 'dev .*FOR DEVELOPMENT ONLY'"

# A link keeps pointing at its file, which gets the new contents; an
# existing file keeps its permissions.
echo old >"$d/target.dat"
chmod 600 "$d/target.dat"
ln -s target.dat "$d/link.dat"
"$QSNPACK" pack "$d/app.tcl" "$d/link.dat"
check "link stays a link" test -L "$d/link.dat"
check "link's file replaced" cmp -s "$d/target.dat" "$d/init.dat"
check "file keeps its mode" equals mode 600 "$(stat -c %a "$d/target.dat")"
check "no temporary file left" equals files "" "$(find "$d" -maxdepth 1 -name '*.dat.*' -printf '%f\n')"

# refuse_output NAME OUTPUT PATTERN [VERB INPUT]: exit 1 with one line
# naming the output and the problem, and nothing written anywhere.
refuse_output() {
  local name=$1 out=$2 pattern=$3 verb=${4:-pack} input=${5:-$d/app.tcl} err status=0
  local before
  before=$(ls -lA "$d" | md5sum)
  err=$("$QSNPACK" "$verb" "$input" "$out" 2>&1 >/dev/null) || status=$?
  check "$name: status 1" equals status 1 "$status"
  check "$name: one line naming the output" grep -qxE "qsnpack: $out: $pattern" <<<"$err"
  check "$name: nothing written" equals listing "$before" "$(ls -lA "$d" | md5sum)"
}
ln -s nowhere.dat "$d/dangling.dat"
refuse_output "dangling link" "$d/dangling.dat" "a symbolic link to nothing"
ln -s loop2.dat "$d/loop1.dat"
ln -s loop1.dat "$d/loop2.dat"
refuse_output "link loop" "$d/loop1.dat" "Too many levels of symbolic links"
cp "$d/app.tcl" "$d/self.tcl"
refuse_output "output is the input" "$d/self.tcl" "the output is the input" pack "$d/self.tcl"
refuse_output "output is the input by a link" "$d/link.dat" "the output is the input" \
  unpack "$d/target.dat"
refuse_output "dev: output is the script" "$d/self.tcl" "the output is the input" dev "$d/self.tcl"
check "input kept" cmp -s "$d/self.tcl" "$d/app.tcl"
rm -f "$d/dangling.dat" "$d/loop1.dat" "$d/loop2.dat" "$d/self.tcl"

finish
