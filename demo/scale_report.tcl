# The scale-out section of PERFORMANCE.md and its chart, from the lines
# scale.sh collects: one dict per measured run (config, sample, clients,
# rounds, requests, rate, p50 and p99 in ms, wall_ms, and the CPU
# milliseconds of the clients, the qsnservers, nginx, PostgreSQL and the
# whole machine, busy and in all).

set heading "## Past one server: PostgreSQL and several qsnservers"

set setups {
    sqlite "1 server, SQLite"
    pg1 "1 server, PostgreSQL"
    pg2 "2 servers, PostgreSQL"
    pg3 "3 servers, PostgreSQL"
}
set parts {client_cpu clients server_cpu qsnservers nginx_cpu nginx pg_cpu PostgreSQL}

proc median {values} {
    set sorted [lsort -real $values]
    set n [llength $sorted]
    if {$n % 2} { return [lindex $sorted [expr {$n / 2}]] }
    expr {([lindex $sorted [expr {$n / 2 - 1}]] + [lindex $sorted [expr {$n / 2}]]) / 2.0}
}

proc table {header rows} {
    set text "| [join $header { | }] |\n|[string repeat { --- |} [llength $header]]\n"
    foreach row $rows { append text "| [join $row { | }] |\n" }
    return $text
}

# What each run's figures mean per request and per core: CPU milliseconds
# per request of each part (*_per), ours and the whole machine's; the share
# of all cores that was busy; the cores the qsnservers and all our
# processes kept busy.
proc derive {run} {
    set n [dict get $run requests]
    set wall [dict get $run wall_ms]
    set ours 0
    foreach key [list {*}[dict keys $::parts] machine_cpu] {
        dict set run ${key}_per [expr {double([dict get $run $key]) / $n}]
    }
    foreach key [dict keys $::parts] { set ours [expr {$ours + [dict get $run $key]}] }
    dict set run ours_per [expr {double($ours) / $n}]
    dict set run busy [expr {100.0 * [dict get $run machine_cpu] / [dict get $run machine_all]}]
    dict set run server_cores [expr {double([dict get $run server_cpu]) / $wall}]
    dict set run ours_cores [expr {double($ours) / $wall}]
    dict set run server_wait_per [expr {double([dict get $run server_wait]) / $n}]
    dict set run server_waiting [expr {double([dict get $run server_wait]) / $wall}]
    return $run
}

# Per setup, the median of each figure over its runs.
proc medians {runs} {
    set by [dict create]
    foreach run $runs {
        dict for {key value} $run {
            if {[string is double -strict $value]} {
                dict lappend by [dict get $run config] $key $value
            }
        }
    }
    set out [dict create]
    dict for {config figures} $by {
        dict for {key values} $figures {
            dict set out $config $key [median $values]
        }
    }
    return $out
}

proc machine {cores} {
    set f [open /proc/cpuinfo r]
    regexp -line {^model name\s*:\s*(.*)$} [read $f] -> cpu
    close $f
    regexp {\d+(\.\d+)+} [exec psql --version] pg
    set nginx [string map {"nginx version: " ""} [lindex [split [exec nginx -v 2>@1] \n] 0]]
    list "Date: [clock format [clock seconds] -format {%Y-%m-%d %H:%M %Z}]" \
        "CPU: $cpu, $cores cores available" \
        "Software: PostgreSQL $pg, $nginx, Tcl [info patchlevel] with TDBC"
}

proc figures {med runs} {
    set first [lindex $runs 0]
    set base [dict get $med sqlite rate]
    set rows {}
    set cpu {}
    foreach {config label} $::setups {
        set m [dict get $med $config]
        lappend rows [list $label [format %.0f [dict get $m rate]] \
                          [format %.2f [expr {[dict get $m rate] / $base}]] \
                          [format %.1f [dict get $m p50]] [format %.1f [dict get $m p99]]]
        set row [list $label]
        foreach key {client_cpu server_cpu server_wait nginx_cpu pg_cpu ours machine_cpu} {
            lappend row [format %.2f [dict get $m ${key}_per]]
        }
        lappend cpu [lappend row [format %.0f%% [dict get $m busy]]]
    }
    append text \
        "[dict get $first clients] headless qsnclient processes at once, each signing in and\n" \
        "then making [dict get $first rounds] rounds of four requests: add a task, rename it, mark it\n" \
        "done (each write a transaction with a request id), list all tasks.\n" \
        "They go through one nginx (keep-alive to the servers; it compresses the\n" \
        "replies with gzip, the servers send them plain) to one, two or\n" \
        "three qsnservers sharing one PostgreSQL, and, as the baseline, to one\n" \
        "qsnserver on SQLite; everything on this machine. The setups run in\n" \
        "turn, [llength $runs] runs in all, each from an empty database and checked against\n" \
        "it; the figures are medians per setup. Requests per second count the\n" \
        "requests completed between the first client's first request and the\n" \
        "last client's last reply; latency is each request as its client timed it.\n\n" \
        [table {Setup requests/s "ratio to SQLite" "p50 ms" "p99 ms"} $rows] \n \
        "CPU milliseconds per request, by part; \"ours\" is their sum, \"machine\"\n" \
        "all the machine did meanwhile, other programs included; \"busy\" is the\n" \
        "share of all cores in use during the run. \"qsnservers waited\" is not CPU\n" \
        "time: the milliseconds per request the servers' threads were ready to\n" \
        "run but waiting for a core.\n\n" \
        [table {Setup clients qsnservers "qsnservers waited" nginx PostgreSQL ours machine busy} $cpu]
    return $text
}

# What limits the rate, in the run's own figures.
proc reading {med cores} {
    foreach key {busy ours_per} {
        set $key {}
        foreach {config label} $::setups { lappend $key [dict get $med $config $key] }
    }
    set busy_low [tcl::mathfunc::min {*}$busy]
    set one [dict get $med pg1]
    set three [dict get $med pg3]
    set text "What limits it here:\n\n"
    set low [format %.0f%% $busy_low]
    set high [format %.0f%% [tcl::mathfunc::max {*}$busy]]
    set busy [expr {$low eq $high ? $low : "$low to $high"}]
    append text [bullet "The clients, nginx, the servers, PostgreSQL and whatever else runs\
        on the machine share its $cores cores, and they were $busy busy during the runs."]
    append text [bullet "A request cost our processes [ms [tcl::mathfunc::min {*}$ours_per]] to\
        [ms [tcl::mathfunc::max {*}$ours_per]] of CPU in every setup; with three servers\
        [ms [dict get $three client_cpu_per]] in the client (each reply carries the whole task\
        list, which the client reads), [ms [dict get $three server_cpu_per]] in the qsnservers,\
        [ms [dict get $three pg_cpu_per]] in PostgreSQL and [ms [dict get $three nginx_cpu_per]]\
        in nginx."]
    append text [bullet "Our processes ran [format %.2f [dict get $one ours_cores]] cores'\
        worth with one server on PostgreSQL and [format %.2f [dict get $three ours_cores]] with\
        three; the rest of the busy time went to other programs and to the kernel."]
    append text [bullet [limit $one $three $busy_low]]
    append text [bullet "Spread over machines (see docs/GUIDE.md), each server has cores of its\
        own and the clients run elsewhere: there the rate should grow with the servers until\
        PostgreSQL or nginx is the busy part. That is not measured here."] \n
}

# Whether one server's single Tcl thread or the machine's cores limited
# the rate, judged from the runs of one and three servers on PostgreSQL.
proc limit {one three busy} {
    set ran [format %.2f [dict get $one server_cores]]
    if {$ran >= 0.8} {
        return "One server's threads ran $ran of a core: its single Tcl thread limited the\
            rate, and each further server adds a thread."
    }
    if {$busy < 90} {
        return "One server's threads ran $ran of a core, and the cores were not all in\
            use: the clients' own pace limited the rate."
    }
    set text "With one server on PostgreSQL its threads ran $ran of a core, and were ready\
        to run but waiting for a core [format %.0f%% [expr {100 * [dict get $one server_waiting]}]]\
        of the time; the rest they waited for PostgreSQL or for requests, and all the\
        clients waited on them."
    if {[dict get $three rate] >= 1.1 * [dict get $one rate]
        && [dict get $three ours_cores] >= 1.1 * [dict get $one ours_cores]} {
        return "$text Each further server is one more thread that runs while another\
            waits: with the cores full, that, not spare CPU, is where the growth from one to\
            three servers comes from here."
    }
    return "$text With the cores full, more server processes add no CPU."
}

proc ms {value} { format "%.1f ms" $value }

# A Markdown list item, wrapped at 76 columns.
proc bullet {text} {
    set out "-"
    set width 1
    foreach word [regexp -all -inline {\S+} $text] {
        if {$width + 1 + [string length $word] > 76} {
            append out "\n "
            set width 1
        }
        append out " $word"
        incr width [expr {1 + [string length $word]}]
    }
    return $out\n
}

# The request rates and the latencies, side by side, into `png`.
proc chart {png med scratch} {
    set data [file join $scratch scale.dat]
    set f [open $data w]
    foreach {config label} $::setups {
        set m [dict get $med $config]
        puts $f "\"$label\" [dict get $m rate] [dict get $m p50] [dict get $m p99]"
    }
    close $f
    set script [file join $scratch scale.gp]
    set f [open $script w]
    puts $f [string map [list @PNG@ $png @DATA@ $data] {
set terminal pngcairo size 1400,560 font "sans,11"
set output "@PNG@"
set multiplot layout 1,2
set style fill solid 0.8 border -1
set grid ytics
set xtics rotate by -20 left nomirror
set yrange [0:*]
set bmargin 7
set rmargin 8
set title "Requests per second through nginx (higher is better)"
set ylabel "requests per second"
set boxwidth 0.6
plot "@DATA@" using 0:2:xtic(1) with boxes lc rgb "#3b75af" notitle, \
     "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.8 notitle
set title "Latency seen by the clients (lower is better)"
set ylabel "milliseconds"
set style data histograms
set style histogram clustered gap 1
set key top left
plot "@DATA@" using 3:xtic(1) title "p50" lc rgb "#519e3e", \
     "" using 4 title "p99" lc rgb "#ef8636"
unset multiplot
}]
    close $f
    exec gnuplot $script
}

# Replaces the section under $heading in `file` (up to the next heading of
# the same level), or appends it; the rest of the page stays as it is.
proc writesection {file section} {
    set lines {}
    if {[file exists $file]} {
        set f [open $file r]
        set lines [split [string trimright [read $f] \n] \n]
        close $f
    }
    set start [lsearch -exact $lines $::heading]
    if {$start < 0} {
        set page [join $lines \n]
        if {$page ne ""} { append page \n\n }
        append page $section
    } else {
        set end [lsearch -start [expr {$start + 1}] -regexp $lines {^## }]
        set after [expr {$end < 0 ? "" : "\n\n[join [lrange $lines $end end] \n]"}]
        set page [join [lrange $lines 0 [expr {$start - 1}]] \n]\n$section$after
    }
    set f [open $file w]
    puts $f [string trim $page \n]
    close $f
}

proc report {dir resultsfile} {
    set cores [exec nproc]
    set f [open $resultsfile r]
    set runs {}
    foreach line [split [string trim [read $f]] \n] { lappend runs [derive $line] }
    close $f
    set med [medians $runs]
    set scratch [file join [file dirname $resultsfile] report]
    file mkdir $scratch
    chart [file join $dir scale.png] $med $scratch
    set section "$::heading\n\n"
    append section "- [join [machine $cores] "\n- "]\n\n" [figures $med $runs] \n \
        [reading $med $cores] \
        "!\[Requests per second and latency, by setup\](scale.png)\n\n" \
        "`demo/scale.sh` reproduces this section and its chart in a few minutes,\n" \
        "and then runs the faults: a server killed while requests wait on it,\n" \
        "PostgreSQL stopped and started again.\n"
    writesection [file join $dir PERFORMANCE.md] $section
}
