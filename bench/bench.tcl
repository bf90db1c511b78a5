# Runs the benchmark: qsnclient side by side with the tools an application
# team could use instead, against one fixed-reply nginx and one Xvfb this
# script starts on loopback and stops by pid; and sendQSN against
# requestQSN, against a qsnserver whose command takes 50 ms. Prints a table of medians and
# ratios; writes it with the machine's description and a chart to -out.
#
#   tclsh bench.tcl -build DIR -out DIR ?-smoke?
#
# -smoke runs every measurement once with tiny counts, so the benchmark
# cannot rot; its figures mean nothing.

set here [file dirname [file normalize [info script]]]
source [file join $here report.tcl]

array set opt {-build {} -out {} -smoke 0}
foreach {name value} $argv {
    if {$name eq "-smoke"} { set opt(-smoke) 1; continue }
    if {![info exists opt($name)]} {
        puts stderr "usage: tclsh bench.tcl -build DIR -out DIR ?-smoke?"
        exit 2
    }
    set opt($name) [file normalize $value]
}
foreach name {-build -out} {
    if {$opt($name) eq ""} { puts stderr "bench.tcl: $name is required"; exit 2 }
}

# How much of everything: counts, and rounds of the alternating contenders.
if {$opt(-smoke)} {
    array set n {rounds 1 requests 20 http 5 first 1 cg_low 2 cg_high 4
                 startup 1 lines 200 cg_lines_low 10 cg_lines_high 50
                 rss_low 10 rss_high 50 sessions 4 sent_rounds 1 each 2 gap_each 2
                 poll 4 poll_wait 300}
} else {
    array set n {rounds 11 requests 10000 http 300 first 15 cg_low 100 cg_high 600
                 startup 21 lines 20000 cg_lines_low 1000 cg_lines_high 11000
                 rss_low 1000 rss_high 20000 sessions 4 sent_rounds 7 each 25 gap_each 250
                 poll 100 poll_wait 3000}
}

set qsnclient [file join $opt(-build) qsnclient]
set qsnpack [file join $opt(-build) qsnpack]
set bare [file join $opt(-build) bench bench_bare_client]
set qsnserver [file join $opt(-build) server qsnserver]
set scratch [file join /tmp qsnbench.[pid]]
file mkdir $scratch $opt(-out)

# ---------------------------------------------------------------- peers

# With two CPUs or more, the servers keep to one and the measured programs
# to another, so the two sides do not take turns on one CPU.
proc allowed_cpus {} {
    set f [open /proc/self/status r]
    regexp -line {^Cpus_allowed_list:\s*(\S+)} [read $f] -> ranges
    close $f
    set cpus {}
    foreach range [split $ranges ,] {
        lassign [split $range -] from to
        if {$to eq ""} { set to $from }
        for {set cpu $from} {$cpu <= $to} {incr cpu} { lappend cpus $cpu }
    }
    return $cpus
}
set cpus [allowed_cpus]
if {[llength $cpus] >= 2} {
    set client_pin [list taskset -c [lindex $cpus 0]]
    set server_pin [list taskset -c [lindex $cpus 1]]
    set pinning "measured programs on CPU [lindex $cpus 0], nginx, qsnserver and Xvfb on CPU [lindex $cpus 1]"
} else {
    set client_pin {}
    set server_pin {}
    set pinning "one CPU, shared by the measured programs and the servers"
}

set children {}

# The system's load average over the last minute: other work on the
# machine moves the timings.
proc load_average {} {
    set f [open /proc/loadavg r]
    set load [lindex [read $f] 0]
    close $f
    return $load
}
set load_start [load_average]

proc stop_children {} {
    foreach child $::children {
        catch {exec kill [lindex $child 1]}
    }
    foreach child $::children {
        # A child that ignores TERM for two seconds is killed, and waited for
        # again: a process killed is not gone until the system has ended it.
        set pid [lindex $child 1]
        if {![gone $pid 40]} {
            catch {exec kill -KILL $pid}
            if {![gone $pid 100]} { puts stderr "bench: [lindex $child 0] ($pid) would not end" }
        }
    }
    set ::children {}
}

# Whether the process has ended, waiting up to `ticks` times 50 ms for it.
proc gone {pid ticks} {
    for {set i 0} {$i < $ticks && [running $pid]} {incr i} { after 50 }
    return [expr {![running $pid]}]
}

proc running {pid} {
    if {[catch {open /proc/$pid/stat r} f]} { return 0 }
    set stat [read $f]
    close $f
    return [expr {[lindex [split [regsub {^.*\) } $stat {}] " "] 0] ne "Z"}]
}

proc fail {message} {
    puts stderr "bench: $message"
    stop_children
    file delete -force $::scratch
    exit 1
}

proc free_port {} {
    set s [socket -server {} -myaddr 127.0.0.1 0]
    set port [lindex [fconfigure $s -sockname] 2]
    close $s
    return $port
}

proc start_nginx {} {
    set dir [file join $::scratch nginx]
    file mkdir $dir
    set port [free_port]
    set conf [file join $dir nginx.conf]
    set f [open $conf w]
    puts $f [string map [list @DIR@ $dir @PORT@ $port] {
worker_processes 1;
daemon off;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path @DIR@/body;
    proxy_temp_path @DIR@/proxy;
    fastcgi_temp_path @DIR@/fastcgi;
    uwsgi_temp_path @DIR@/uwsgi;
    scgi_temp_path @DIR@/scgi;
    keepalive_requests 1000000;
    keepalive_timeout 300s;
    default_type text/plain;
    server {
        listen 127.0.0.1:@PORT@;
        location / { return 200 "-qsnreply ok"; }
    }
}}]
    close $f
    set pid [exec {*}$::server_pin nginx -p $dir -c $conf -e $dir/error.log 2>@stderr &]
    lappend ::children [list nginx $pid]
    for {set i 0} {$i < 100} {incr i} {
        if {![catch {socket 127.0.0.1 $port} s]} {
            close $s
            return $port
        }
        if {![running $pid]} break
        after 50
    }
    fail "nginx did not start on port $port"
}

# qsnserver running bench/slow_app.tcl; returns its URL.
proc start_slow_server {} {
    set out [file join $::scratch slow_server.out]
    set pid [exec {*}$::server_pin $::qsnserver --listen 127.0.0.1:0 \
                 [file join $::here slow_app.tcl] >$out 2>@stderr &]
    lappend ::children [list qsnserver $pid]
    for {set i 0} {$i < 100} {incr i} {
        set f [open $out r]
        set line [gets $f]
        close $f
        if {[regexp {^listening on (\S+)$} $line -> url]} { return $url }
        if {![running $pid]} break
        after 50
    }
    fail "qsnserver did not start"
}

proc start_xvfb {} {
    set chan [open "|$::server_pin Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 2>/dev/null" r]
    set pid [pid $chan]
    lappend ::children [list Xvfb $pid]
    set display ""
    set timer [after 10000 {set ::xvfb_line timeout}]
    fileevent $chan readable [list apply {{chan} {
        set ::xvfb_line [gets $chan]
    }} $chan]
    vwait ::xvfb_line
    after cancel $timer
    fileevent $chan readable {}
    if {![string is integer -strict $::xvfb_line]} { fail "Xvfb did not start" }
    # The pipe stays open: Xvfb would stop at a broken one.
    set ::xvfb_chan $chan
    return :$::xvfb_line
}

# ---------------------------------------------------------------- running

# Runs a command in `dir` with DISPLAY set to `display` (empty: unset) and
# returns its standard output; its standard error goes to ours.
proc run {dir display args} {
    set old [pwd]
    cd $dir
    if {$display eq ""} { unset -nocomplain ::env(DISPLAY) } else { set ::env(DISPLAY) $display }
    set status [catch {exec -ignorestderr -- {*}$::client_pin {*}$args} out]
    cd $old
    if {$status} { fail "[lindex $args 0] failed: $out" }
    return $out
}

# Wall-clock milliseconds of one run.
proc timed {dir display args} {
    set start [clock microseconds]
    run $dir $display {*}$args
    expr {([clock microseconds] - $start) / 1e3}
}

proc median {values} {
    set sorted [lsort -real $values]
    set count [llength $sorted]
    if {$count % 2} { return [lindex $sorted [expr {$count / 2}]] }
    expr {([lindex $sorted [expr {$count / 2 - 1}]] + [lindex $sorted [expr {$count / 2}]]) / 2.0}
}

# Runs the contenders (name -> command prefix) `rounds` times, in a new
# order each round so none always goes first, and gives each one's list of
# results.
proc alternate {rounds contenders} {
    set names [dict keys $contenders]
    set results [dict create]
    for {set r 0} {$r < $rounds} {incr r} {
        set shift [expr {$r % [llength $names]}]
        foreach name [concat [lrange $names $shift end] [lrange $names 0 [expr {$shift - 1}]]] {
            dict lappend results $name [{*}[dict get $contenders $name]]
        }
    }
    return $results
}

# Callgrind's instruction count for a whole run.
proc instructions {dir args} {
    set out [file join $::scratch callgrind.out]
    run $dir "" valgrind --tool=callgrind --callgrind-out-file=$out {*}$args 2>/dev/null
    set f [open $out r]
    set text [read $f]
    close $f
    file delete $out
    if {![regexp -line {^totals: (\d+)} $text -> total]} { fail "no callgrind totals" }
    return $total
}

# ---------------------------------------------------------------- setup

set rundir [file join $scratch run]
set startdir [file join $scratch startup]
file mkdir $rundir $startdir
run $scratch "" $qsnpack pack [file join $here client_bench.tcl] [file join $rundir init.dat]
run $scratch "" $qsnpack pack [file join $here startup.tcl] [file join $startdir init.dat]

# Whatever goes wrong, the servers started here are stopped.
if {[catch {
    puts "starting nginx and Xvfb"
    set port [start_nginx]
    set url http://127.0.0.1:$port/
    set display [start_xvfb]
    set slow_url [start_slow_server]

    # ---------------------------------------------------------------- requests

    proc rate {dir args} {
        set out [run $dir "" {*}$args]
        expr {[dict get $out requests] / [dict get $out seconds]}
    }

    puts "request round trip: $n(rounds) rounds of $n(requests) requests"
    set rates [alternate $n(rounds) [dict create \
        "requestQSN, loglevel 0" [list rate $rundir $qsnclient requests $url $n(requests) 0] \
        "requestQSN, loglevel 3" [list rate $rundir $qsnclient requests $url $n(requests) 3] \
        "bare libcurl program"   [list rate $rundir $bare $url $n(requests)] \
        "TclCurl in tclsh"       [list rate $rundir tclsh [file join $here tclcurl_bench.tcl] $url $n(requests)] \
        "http package, keep-alive" \
            [list rate $rundir tclsh [file join $here tclhttp_bench.tcl] $url $n(http) 1] \
        "http package, new connections" \
            [list rate $rundir tclsh [file join $here tclhttp_bench.tcl] $url $n(http) 0]]]

    proc first {dir args} {
        dict get [run $dir "" {*}$args] first_ms
    }

    puts "first request: $n(first) rounds, a new process each"
    set local http://localhost:$port/
    set firsts [alternate $n(first) [dict create \
        "requestQSN"           [list first $rundir $qsnclient requests $local 1 3] \
        "bare libcurl program" [list first $rundir $bare $local 1] \
        "TclCurl in tclsh"     [list first $rundir tclsh [file join $here tclcurl_bench.tcl] $local 1] \
        "http package"         [list first $rundir tclsh [file join $here tclhttp_bench.tcl] $local 1 1]]]

    puts "instructions per request under callgrind"
    proc per_request {dir args} {
        set low [instructions $dir {*}[string map [list @N@ $::n(cg_low)] $args]]
        set high [instructions $dir {*}[string map [list @N@ $::n(cg_high)] $args]]
        expr {double($high - $low) / ($::n(cg_high) - $::n(cg_low))}
    }
    set per_request [dict create \
        "requestQSN, loglevel 0" [per_request $rundir $qsnclient requests $url @N@ 0] \
        "requestQSN, loglevel 3" [per_request $rundir $qsnclient requests $url @N@ 3] \
        "bare libcurl program"   [per_request $rundir $bare $url @N@] \
        "TclCurl in tclsh" \
            [per_request $rundir tclsh [file join $here tclcurl_bench.tcl] $url @N@]]

    # ---------------------------------------------------------------- sendQSN

    proc sent_rate {dir args} {
        set out [run $dir "" {*}$args]
        expr {[dict get $out requests] / [dict get $out seconds]}
    }

    set total [expr {$n(sessions) * $n(each)}]
    puts "sendQSN: $n(sent_rounds) rounds of $total requests of 50 ms on $n(sessions) sessions"
    set sent_rates [alternate $n(sent_rounds) [dict create \
        "sendQSN, $n(sessions) sessions at once" \
            [list sent_rate $rundir $qsnclient sent $slow_url $n(sessions) $n(each)] \
        "requestQSN, $n(sessions) sessions one after another" \
            [list sent_rate $rundir $qsnclient waited $slow_url $n(sessions) $n(each)]]]

    set total [expr {$n(sessions) * $n(gap_each)}]
    puts "the event loop's worst gap during $total sendQSN requests"
    set gaps [dict create]
    foreach {name target} [list "50 ms server" $slow_url nginx $url] {
        dict set gaps $name [run $rundir "" $qsnclient sent $target $n(sessions) $n(gap_each)]
    }

    puts "the event source's poll: $n(poll) requests, a wait of $n(poll_wait) ms"
    set poll [run $rundir "" $qsnclient poll $slow_url $n(poll) $n(poll_wait)]

    # ---------------------------------------------------------------- start-up

    puts "start-up: $n(startup) rounds"
    set script [file join $here startup.tcl]
    set startups [alternate $n(startup) [dict create \
        "qsnclient, display" [list timed $startdir $display $qsnclient] \
        "wish, display"      [list timed $startdir $display wish $script] \
        "tclsh, display"     [list timed $startdir $display tclsh $script] \
        "qsnclient, no display" [list timed $startdir "" $qsnclient] \
        "tclsh, no display"  [list timed $startdir "" tclsh $script]]]

    # ---------------------------------------------------------------- log, memory

    puts "log: $n(rounds) rounds of $n(lines) lines"
    set logs [dict create]
    for {set r 0} {$r < $n(rounds)} {incr r} {
        set out [run $rundir "" $qsnclient log $n(lines)]
        foreach {name key} {"mputs" mputs_seconds "puts + flush" puts_seconds
                            "puts + flush, timestamped" stamped_seconds} {
            dict lappend logs $name [expr {$n(lines) / [dict get $out $key]}]
        }
    }

    puts "instructions per log line under callgrind"
    proc per_line {dir writer} {
        set low [instructions $dir $::qsnclient lines $writer $::n(cg_lines_low)]
        set high [instructions $dir $::qsnclient lines $writer $::n(cg_lines_high)]
        expr {double($high - $low) / ($::n(cg_lines_high) - $::n(cg_lines_low))}
    }
    set per_line [dict create \
        "mputs" [per_line $rundir mputs] \
        "puts + flush" [per_line $rundir puts] \
        "puts + flush, timestamped" [per_line $rundir stamped]]

    puts "memory: resident size after $n(rss_low) and $n(rss_high) requests"
    set memory [run $rundir "" $qsnclient memory $url $n(rss_low) $n(rss_high)]

    stop_children
    close $xvfb_chan
} message]} {
    fail $::errorInfo
}

# ---------------------------------------------------------------- report

set report [report [dict create \
    smoke $opt(-smoke) pinning $pinning load [list $load_start [load_average]] counts [array get n] rates $rates firsts $firsts \
    per_request $per_request startups $startups logs $logs per_line $per_line \
    memory $memory sent_rates $sent_rates gaps $gaps poll $poll]]
puts ""
puts [dict get $report table]
write_report $opt(-out) $report $scratch
file delete -force $scratch
puts ""
puts "wrote [file join $opt(-out) PERFORMANCE.md] and [file join $opt(-out) performance.png]"
