# One client of the scale-out run, packed into init.dat and run by qsnclient
# without a display. It signs in, then each round adds a task, renames it,
# marks it done and lists the tasks; every reply must show its own tasks as
# it left them. Writes carry request ids, so a request that fails is sent
# again, unchanged, until it succeeds (the server applies a write once).
#
# Usage: qsnclient URL NAME ROUNDS ?STOPFILE?
#   With STOPFILE it goes on past ROUNDS until that file exists.
#
# What it did goes to record.txt in the working directory, a Tcl list a line:
#   client NAME                     first, the name it signs in with
#   req COMMAND START_US END_US     a request that succeeded, with its times
#   error COMMAND MESSAGE           an attempt that failed
#   write RID COMMAND ID TITLE      a write the server confirmed
#   bad COMMAND WHAT                a reply without what it must hold
#   cpu MS                          the process's own CPU time, at the end
# It exits with status 0 when every request succeeded in the end.

# Errors only: at the usual level each request's trace goes to the log,
# flushed line by line, and the measurement would count that too.
set loglevel 1
lassign $argv url name rounds stopfile
set record [open record.txt w]
# Line by line: scale.sh follows the run's progress in these files.
fconfigure $record -buffering line -encoding utf-8
set session [createQSNsession $url]
set mine [dict create]   ;# id -> {title done}, as this client left its tasks

proc note {args} { puts $::record $args }
note client $name

proc finish {status} {
    set f [open /proc/self/stat r]
    set stat [split [regsub {^.*\) } [read $f] {}] " "]
    close $f
    # utime and stime, in ticks of 10 ms.
    note cpu [expr {([lindex $stat 11] + [lindex $stat 12]) * 10}]
    close $::record
    exit $status
}

# Sends one request until it succeeds: every failed attempt is noted, and
# after a pause the same request goes again. Gives up after 30 seconds.
proc call {command args} {
    set deadline [expr {[clock milliseconds] + 30000}]
    while 1 {
        set start [clock microseconds]
        if {![catch {requestQSN $::session $command $args} reply]} {
            note req $command $start [clock microseconds]
            return $reply
        }
        note error $command $reply
        if {[clock milliseconds] > $deadline} { finish 1 }
        after 100
    }
}

# The reply's tasks of this client must be exactly those in `mine`.
proc verify {command tasks} {
    set seen [dict create]
    foreach task $tasks {
        if {[catch {dict get $task author} author] || $author ne $::name} continue
        dict set seen [dict get $task id] [list [dict get $task title] [dict get $task done]]
    }
    if {[lsort -stride 2 -integer $seen] ne [lsort -stride 2 -integer $::mine]} {
        note bad $command "expected {$::mine}, got {$seen}"
        finish 1
    }
}

# The id of the one task titled `title` that this client did not know yet.
proc added {tasks title} {
    foreach task $tasks {
        set id [dict get $task id]
        if {[dict get $task author] eq $::name && [dict get $task title] eq $title
            && ![dict exists $::mine $id]} {
            return $id
        }
    }
    note bad add "no new task \"$title\" in {$tasks}"
    finish 1
}

proc round {r} {
    set title "$::name: задача $r"
    set tasks [call add $title a$r]
    set id [added $tasks $title]
    dict set ::mine $id [list $title 0]
    verify add $tasks
    note write a$r add $id $title

    append title ", уточнена"
    dict set ::mine $id [list $title 0]
    verify edit [call edit $id $title e$r]
    note write e$r edit $id $title

    dict set ::mine $id [list $title 1]
    verify toggle [call toggle $id t$r]
    note write t$r toggle $id $title

    verify tasks [call tasks]
}

# A reply shaped unlike a task list stops the script with a Tcl error,
# which must not end the process with status 0.
if {[catch {
    verify signin [call signin $name]
    for {set r 1} {$r <= $rounds || ($stopfile ne "" && ![file exists $stopfile])} {incr r} {
        round $r
    }
    call signout
} message]} {
    note bad script $message
    finish 1
}
closeQSNsession $session
finish 0
