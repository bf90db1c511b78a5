# The scale-out run's judge and reporter (see scale.sh).
#
#   tclsh scale.tcl check ?-expect PATTERN? ?-allow PATTERN? ... CLIENTDIR...
#       Compares the database (opened as the demo's server opens it, from
#       QSN_DEMO_PG or QSN_DEMO_DB) with what each client recorded: every
#       confirmed write is there exactly once and nothing else is. Every
#       error a client saw must match one of the glob PATTERNs, and each
#       -expect PATTERN must have been seen; with none, no client may have
#       seen an error.
#       Prints the run's figures as a dict; exits 1 on any failure.
#
#   tclsh scale.tcl sample SERVERPIDS NGINXPID PGPID
#       Prints, as a dict, the CPU time so far of the servers (a list of
#       pids), nginx and PostgreSQL, each with its children, in clock ticks;
#       the machine's busy and whole time in ticks; and the nanoseconds the
#       servers' threads spent ready to run but waiting for a core.
#
#   tclsh scale.tcl used HZ SAMPLE0 SAMPLE1
#       The milliseconds between two samples, as the results line has them:
#       server_cpu nginx_cpu pg_cpu machine_cpu machine_all server_wait.
#
#   tclsh scale.tcl report DIR RESULTS
#       Writes the measurements in RESULTS (one dict a line, as scale.sh
#       collects them) as the scale-out section of DIR/PERFORMANCE.md,
#       with the chart DIR/scale.png.

set here [file dirname [file normalize [info script]]]
set problems 0

proc problem {text} {
    puts stderr "scale: $text"
    incr ::problems
}

# --- check --------------------------------------------------------------------

proc readrecord {dir} {
    set f [open [file join $dir record.txt] r]
    fconfigure $f -encoding utf-8
    set lines [split [string trimright [read $f] \n] \n]
    close $f
    return $lines
}

# The tasks of client `name` as its confirmed writes left them (id -> {title
# done}), and the request ids of those writes.
proc expected {lines} {
    set tasks [dict create]
    set rids {}
    foreach line $lines {
        if {[lindex $line 0] ne "write"} continue
        lassign $line - rid command id title
        lappend rids $rid
        switch -- $command {
            add { dict set tasks $id [list $title 0] }
            edit { dict set tasks $id [list $title [lindex [dict get $tasks $id] 1]] }
            toggle { dict set tasks $id [list $title [expr {1 - [lindex [dict get $tasks $id] 1]}]] }
        }
    }
    list $tasks [lsort $rids]
}

proc checkclient {dir lines} {
    set name [lindex $lines 0 1]
    if {[lindex $lines 0 0] ne "client" || [lindex $lines end 0] ne "cpu"} {
        problem "$dir: the client did not finish"
    }
    foreach line $lines {
        if {[lindex $line 0] eq "bad"} { problem "$name: $line" }
    }
    lassign [expected $lines] want rids
    set user [lindex [demo::sql {SELECT id FROM users WHERE name = :name}] 0 0]
    set have [dict create]
    foreach row [demo::sql {SELECT id, title, done FROM tasks WHERE author = :user}] {
        dict set have [lindex $row 0] [lrange $row 1 2]
    }
    if {[lsort -stride 2 -integer $have] ne [lsort -stride 2 -integer $want]} {
        problem "$name: the database holds {$have}, the client confirmed {$want}"
    }
    set made [lsort [concat {*}[demo::sql {SELECT rid FROM writes WHERE author = :user}]]]
    if {$made ne $rids} {
        problem "$name: request ids applied {$made}, confirmed {$rids}"
    }
    return [dict size $want]
}

proc percentile {sorted p} {
    set i [expr {max(0, int(ceil($p * [llength $sorted])) - 1)}]
    lindex $sorted $i
}

# The errors the clients saw against the patterns: `expected` must be seen,
# `allowed` may be.
proc judgeerrors {messages expected allowed} {
    set seen [dict create]
    dict for {message count} $messages {
        set known 0
        foreach pattern [concat $expected $allowed] {
            if {[string match $pattern $message]} {
                dict incr seen $pattern $count
                set known 1
            }
        }
        if {!$known} { problem "$count x error \"$message\"" }
    }
    foreach pattern $expected {
        if {![dict exists $seen $pattern]} { problem "no client saw an error like \"$pattern\"" }
    }
}

proc check {argv} {
    set patterns {-expect {} -allow {}}
    while {[lindex $argv 0] in {-expect -allow}} {
        dict lappend patterns {*}[lrange $argv 0 1]
        set argv [lrange $argv 2 end]
    }
    source [file join $::here store.tcl]
    demo::connect
    set latencies {}
    set messages [dict create]
    set first Inf
    set last 0
    set cpu 0
    set added 0
    foreach dir $argv {
        set lines [readrecord $dir]
        foreach line $lines {
            switch -- [lindex $line 0] {
                req {
                    lassign $line - - start end
                    lappend latencies [expr {($end - $start) / 1000.0}]
                    set first [expr {min($first, $start)}]
                    set last [expr {max($last, $end)}]
                }
                error { dict incr messages [lindex $line 2] }
                cpu { incr cpu [lindex $line 1] }
            }
        }
        incr added [checkclient $dir $lines]
    }
    set total [lindex [demo::sql {SELECT count(*) FROM tasks}] 0 0]
    if {$total != $added} { problem "$total tasks in the database, $added confirmed" }
    judgeerrors $messages [dict get $patterns -expect] [dict get $patterns -allow]
    set latencies [lsort -real $latencies]
    set seconds [expr {($last - $first) / 1e6}]
    puts [dict create requests [llength $latencies] seconds $seconds \
              rate [expr {[llength $latencies] / $seconds}] \
              p50 [percentile $latencies 0.5] p99 [percentile $latencies 0.99] \
              errors [tcl::mathop::+ 0 {*}[dict values $messages]] client_cpu $cpu]
}

# --- sample and used ------------------------------------------------------------

proc readfile {path} {
    set f [open $path r]
    try { return [read $f] } finally { close $f }
}

# The processes and their children (which pgrep finds by parent).
proc withchildren {pids} {
    set all $pids
    foreach pid $pids {
        if {![catch {exec pgrep -P $pid} children]} { lappend all {*}$children }
    }
    return $all
}

# CPU time of the processes, their children and their waited-for children,
# in clock ticks; a process that has ended counts nothing.
proc ticks {pids} {
    set total 0
    foreach pid [withchildren $pids] {
        if {[catch {readfile /proc/$pid/stat} stat]} continue
        # Fields after the command name, which may hold blanks and parentheses.
        set f [split [regsub {^.*\) } $stat {}] " "]
        if {[llength $f] <= 14} continue
        incr total [expr {[lindex $f 11] + [lindex $f 12] + [lindex $f 13] + [lindex $f 14]}]
    }
    return $total
}

# Nanoseconds the processes' threads waited for a core while ready to run.
proc waits {pids} {
    set total 0
    foreach pid $pids {
        foreach file [glob -nocomplain /proc/$pid/task/*/schedstat] {
            if {![catch {readfile $file} line]} { incr total [lindex $line 1] }
        }
    }
    return $total
}

# The machine's busy time, whoever used it, and all its time, idle
# included, summed over its cores.
proc machinetime {} {
    set f [lrange [split [lindex [split [readfile /proc/stat] \n] 0]] 1 end]
    set f [lsearch -all -inline -not -exact $f {}]
    lassign $f user nice system idle iowait irq softirq steal
    set busy [expr {$user + $nice + $system + $irq + $softirq + $steal}]
    return [list $busy [expr {$busy + $idle + $iowait}]]
}

proc sample {servers nginx pg} {
    lassign [machinetime] busy all
    puts [list server [ticks $servers] nginx [ticks $nginx] pg [ticks $pg] \
              busy $busy all $all wait [waits $servers]]
}

proc used {hz before after} {
    set ms {}
    foreach {name key} {server_cpu server nginx_cpu nginx pg_cpu pg machine_cpu busy
                        machine_all all} {
        lappend ms $name [expr {([dict get $after $key] - [dict get $before $key]) * 1000 / $hz}]
    }
    lappend ms server_wait [expr {([dict get $after wait] - [dict get $before wait]) / 1000000}]
    puts $ms
}

# --- report ---------------------------------------------------------------------

source [file join $here scale_report.tcl]

switch -- [lindex $argv 0] {
    check { check [lrange $argv 1 end] }
    report { report {*}[lrange $argv 1 end] }
    sample { sample {*}[lrange $argv 1 end] }
    used { used {*}[lrange $argv 1 end] }
    default {
        puts stderr "usage: tclsh scale.tcl check|sample|used|report ..."
        exit 2
    }
}
exit [expr {$problems > 0}]
