# The benchmark's report: medians, ratios and targets as a Markdown page,
# the machine it ran on, and a chart drawn with gnuplot.

proc fmt_int {value} {
    set digits [format %.0f $value]
    regsub -all {\d(?=(\d{3})+$)} $digits {&,} digits
    return $digits
}

proc fmt_ratio {value} { format %.2f $value }

# One Markdown table from a header row and data rows.
proc table {header rows} {
    set text "| [join $header { | }] |\n|[string repeat { --- |} [llength $header]]\n"
    foreach row $rows { append text "| [join $row { | }] |\n" }
    return $text
}

proc verdict {met} { expr {$met ? "met" : "**missed**"} }

proc machine {} {
    set cpu unknown
    set f [open /proc/cpuinfo r]
    regexp -line {^model name\s*:\s*(.*)$} [read $f] -> cpu
    close $f
    set f [open /proc/meminfo r]
    regexp {MemTotal:\s+(\d+)} [read $f] -> mem_kb
    close $f
    set versions [list \
        "libcurl [lindex [exec curl-config --version] 1]" \
        "Tcl/Tk [info patchlevel]" \
        "TclCurl [exec tclsh << {puts [package require TclCurl]}]" \
        [string map {"nginx version: nginx/" "nginx "} [lindex [split [exec nginx -v 2>@1] \n] 0]] \
        [lindex [split [exec g++ --version] \n] 0]]
    return [list \
        "Date: [clock format [clock seconds] -format {%Y-%m-%d %H:%M %Z}]" \
        "System: [exec uname -srm]" \
        "CPU: $cpu, [exec nproc] cores available, [expr {$mem_kb / 1024 / 1024}] GiB memory" \
        "Software: [join $versions {, }]"]
}

# Works out medians and targets from the measurements in `data` (see
# bench.tcl) and returns a dict: table (the page's figures), page (the whole
# page), bars (chart data).
proc report {data} {
    array set n [dict get $data counts]
    set med [dict create]
    foreach key {rates firsts startups logs} {
        dict for {name values} [dict get $data $key] {
            dict set med $key $name [median $values]
        }
    }
    # How far apart the rounds were: slowest to fastest, as a share of the
    # median. A difference between contenders smaller than this is noise.
    set range [dict create]
    foreach key {rates startups} {
        dict for {name values} [dict get $data $key] {
            set sorted [lsort -real $values]
            dict set range $key $name [format %.0f%% [expr {
                100.0 * ([lindex $sorted end] - [lindex $sorted 0]) / [median $values]}]]
        }
    }
    set rate [dict get $med rates]
    set bare [dict get $rate "bare libcurl program"]
    set tclcurl [dict get $rate "TclCurl in tclsh"]

    set rows {}
    dict for {name value} $rate {
        lappend rows [list $name [fmt_int $value] [dict get $range rates $name] \
                          [fmt_ratio [expr {$value / $bare}]] \
                          [fmt_ratio [expr {$value / $tclcurl}]]]
    }
    append text "### Request round trip\n\n" \
        "Sequential requests of one small command on one session, kept alive;\n" \
        "median of $n(rounds) rounds of $n(requests) requests\n" \
        "($n(http) for the http package, which is far slower). The range is the\n" \
        "slowest to the fastest round as a share of the median: differences\n" \
        "smaller than that are noise.\n\n" \
        [table {Contender requests/s range "ratio to bare libcurl" "ratio to TclCurl"} $rows] \n

    set rows {}
    set cg [dict get $data per_request]
    set cg_bare [dict get $cg "bare libcurl program"]
    dict for {name value} $cg {
        lappend rows [list $name [fmt_int $value] [fmt_ratio [expr {$value / $cg_bare}]]]
    }
    append text "Instructions per request, counted by callgrind (the difference between\n" \
        "runs of $n(cg_high) and $n(cg_low) requests, so start-up does not count):\n\n" \
        [table {Program instructions "ratio to bare libcurl"} $rows] \n

    set rows {}
    dict for {name value} [dict get $med firsts] {
        lappend rows [list $name [format %.2f $value]]
    }
    append text "### First request\n\n" \
        "Host name \"localhost\", a new process and a new connection each time;\n" \
        "median of $n(first) rounds.\n\n" [table {Contender ms} $rows] \n

    append text [sent_section $data]

    set start [dict get $med startups]
    set wish [dict get $start "wish, display"]
    set tclsh_nodisplay [dict get $start "tclsh, no display"]
    set rows {}
    dict for {name value} $start {
        set base [expr {[string match "*no display" $name] ? $tclsh_nodisplay : $wish}]
        set against [expr {[string match "*no display" $name] ? "tclsh" : "wish"}]
        lappend rows [list $name [format %.1f $value] [dict get $range startups $name] \
                          "[fmt_ratio [expr {$value / $base}]] of $against"]
    }
    append text "### Start-up\n\n" \
        "A script that exits at once (`init.dat` for qsnclient, the same source\n" \
        "file for wish and tclsh), whole process, with a display (Xvfb) and\n" \
        "without; median of $n(startup) rounds. wish cannot start without a display.\n\n" \
        [table {Command ms range ratio} $rows] \n

    set logs [dict get $med logs]
    set puts_plain [dict get $logs "puts + flush"]
    set puts_stamped [dict get $logs "puts + flush, timestamped"]
    set per_line [dict get $data per_line]
    set rows {}
    dict for {name value} $logs {
        lappend rows [list $name [fmt_int $value] [fmt_ratio [expr {$value / $puts_plain}]] \
                          [fmt_ratio [expr {$value / $puts_stamped}]] \
                          [fmt_int [dict get $per_line $name]]]
    }
    append text "### Log\n\n" \
        "Lines of seven words, Cyrillic and digits, to a CP866 file with CR LF\n" \
        "line ends, flushed after each line; median of $n(rounds) rounds of\n" \
        "$n(lines) lines, all three writers in the same qsnclient process. `mputs`\n" \
        "puts a timestamp in front of each line, as the timestamped `puts` does\n" \
        "with `clock format`. Instructions per line are callgrind's count in the\n" \
        "program itself (the system's work for the write is not counted), the\n" \
        "difference between runs of $n(cg_lines_high) and $n(cg_lines_low) lines.\n\n" \
        [table {Writer lines/s "ratio to puts + flush" "ratio to timestamped" \
                    "instructions per line"} $rows] \n

    set mem [dict get $data memory]
    set growth [expr {[dict get $mem rss_high] - [dict get $mem rss_low]}]
    append text "### Memory\n\n" \
        [table {"" "resident size"} [list \
            [list "after $n(rss_low) requests" "[fmt_int [dict get $mem rss_low]] kB"] \
            [list "after $n(rss_high) requests" "[fmt_int [dict get $mem rss_high]] kB"] \
            [list growth "$growth kB"]]] \n

    set rows {}
    foreach level {0 3} {
        set value [dict get $rate "requestQSN, loglevel $level"]
        set ratio [expr {$value / $bare}]
        lappend rows [list "loglevel $level: request rate >= 0.9 x bare libcurl" \
                          [fmt_ratio $ratio] [verdict [expr {$ratio >= 0.9}]]]
        set ratio [expr {$value / $tclcurl}]
        lappend rows [list "loglevel $level: request rate >= TclCurl's" \
                          [fmt_ratio $ratio] [verdict [expr {$ratio >= 1.0}]]]
    }
    set ratio [expr {[dict get $rate "requestQSN, loglevel 3"] /
                     [dict get $rate "requestQSN, loglevel 0"]}]
    lappend rows [list "loglevel 3: request rate >= 0.85 x loglevel 0" [fmt_ratio $ratio] \
                      [verdict [expr {$ratio >= 0.85}]]]
    set mputs [dict get $logs mputs]
    set ratio [expr {$mputs / $puts_stamped}]
    lappend rows [list "mputs >= 1.0 x timestamped puts + flush" [fmt_ratio $ratio] \
                      [verdict [expr {$ratio >= 1.0}]]]
    set ratio [expr {$mputs / $puts_plain}]
    lappend rows [list "mputs >= 0.5 x puts + flush" [fmt_ratio $ratio] \
                      [verdict [expr {$ratio >= 0.5}]]]
    set first [dict get $med firsts requestQSN]
    lappend rows [list "first request < 50 ms" "[format %.2f $first] ms" \
                      [verdict [expr {$first < 50}]]]
    set ratio [expr {[dict get $start "qsnclient, display"] / $wish}]
    lappend rows [list "start-up <= 1.1 x wish" [fmt_ratio $ratio] \
                      [verdict [expr {$ratio <= 1.1}]]]
    lappend rows [list "resident size grows < 1 MB from $n(rss_low) to $n(rss_high) requests" \
                      "$growth kB" [verdict [expr {$growth < 1024}]]]
    lassign [dict values [dict get $data sent_rates]] sent waited
    set ratio [expr {[median $sent] / [median $waited]}]
    lappend rows [list "sendQSN on $n(sessions) sessions >= 3.5 x requestQSN one session after another" \
                      [fmt_ratio $ratio] [verdict [expr {$ratio >= 3.5}]]]
    set worst 0
    dict for {name out} [dict get $data gaps] {
        set worst [expr {max($worst, [dict get $out worst_gap_ms])}]
    }
    lappend rows [list "the event loop's worst gap during sendQSN requests <= 50 ms" \
                      "[format %.1f $worst] ms" [verdict [expr {$worst <= 50}]]]
    append text "### Targets\n\n" [table {Target measured result} $rows]

    set bars [dict create rates $rate startups $start]
    return [dict create table $text bars $bars smoke [dict get $data smoke] \
                pinning [dict get $data pinning] load [dict get $data load]]
}

# sendQSN against requestQSN: the rates, the event loop's gaps, the poll.
proc sent_section {data} {
    array set n [dict get $data counts]
    set rates [dict get $data sent_rates]
    set names [dict keys $rates]
    set waited [median [dict get $rates [lindex $names 1]]]
    set rows {}
    dict for {name values} $rates {
        set sorted [lsort -real $values]
        set value [median $values]
        lappend rows [list $name [format %.1f $value] [format %.0f%% [expr {
            100.0 * ([lindex $sorted end] - [lindex $sorted 0]) / $value}]] \
            [fmt_ratio [expr {$value / $waited}]]]
    }
    append text "### Requests that let the window live\n\n" \
        "[expr {$n(sessions) * $n(each)}] requests of a command that answers after 50 ms\n" \
        "(qsnserver, bench/slow_app.tcl), $n(each) on each of $n(sessions) sessions: sent at\n" \
        "once with `sendQSN` and concluded in the event loop, against the same\n" \
        "requests made with `requestQSN`, one session's loop after the other's;\n" \
        "median of $n(sent_rounds) rounds.\n\n" \
        [table {Contender requests/s range "ratio to requestQSN"} $rows] \n
    set rows {}
    dict for {name out} [dict get $data gaps] {
        lappend rows [list $name [dict get $out requests] \
                          [format %.1f [expr {[dict get $out requests] / [dict get $out seconds]}]] \
                          [dict get $out ticks] [format %.1f [dict get $out worst_gap_ms]]]
    }
    append text "The event loop meanwhile: an `after 10` ticker runs while\n" \
        "[expr {$n(sessions) * $n(gap_each)}] requests are sent at once with `sendQSN`, $n(gap_each) on each of\n" \
        "$n(sessions) sessions, to the 50 ms server and to nginx; the worst gap is the\n" \
        "longest time between two of its ticks (10 ms when nothing holds the loop up).\n\n" \
        [table {Server requests requests/s ticks "worst gap, ms"} $rows] \n
    set poll [dict get $data poll]
    append text "The poll of the event source (Tcl watches sockets only on Unix, so the\n" \
        "host looks at transfers in flight on every system, after an eighth of the\n" \
        "time each has run, from 1 ms up to 5 ms): $n(poll)\n" \
        "requests of 20 to 39 ms, one after the other, took\n" \
        "[format %.2f [dict get $poll extra_ms]] ms more each with `sendQSN` than with `requestQSN`, which\n" \
        "sees the reply at once, and [expr {$n(poll) * 10}] requests the server answers at once took\n" \
        "[format %.2f [dict get $poll quick_extra_ms]] ms more each; while one `sendQSN` request waited $n(poll_wait) ms on the\n" \
        "server, the host ran [format %.2f [dict get $poll cpu_percent]]% of the time on a processor.\n\n"
    return $text
}

proc write_data {file values} {
    set f [open $file w]
    dict for {name value} $values { puts $f "\"$name\" $value" }
    close $f
}

# Draws the request rates and start-up times side by side into `png`.
proc chart {png bars scratch} {
    set rates [file join $scratch rates.dat]
    set startups [file join $scratch startups.dat]
    write_data $rates [dict get $bars rates]
    write_data $startups [dict get $bars startups]
    set f [open [file join $scratch chart.gp] w]
    puts $f [string map [list @PNG@ $png @RATES@ $rates @STARTUPS@ $startups] {
set terminal pngcairo size 1400,600 font "sans,11"
set output "@PNG@"
set multiplot layout 1,2
set style fill solid 0.8 border -1
set boxwidth 0.7
set grid ytics
set xtics rotate by -30 left nomirror
set yrange [0:*]
set bmargin 9
set rmargin 8
set title "Request round trip (higher is better)"
set ylabel "requests per second"
plot "@RATES@" using 0:2:xtic(1) with boxes lc rgb "#3b75af" notitle, \
     "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.8 notitle
set title "Start-up (lower is better)"
set ylabel "milliseconds"
plot "@STARTUPS@" using 0:2:xtic(1) with boxes lc rgb "#519e3e" notitle, \
     "" using 0:2:(sprintf("%.1f", $2)) with labels offset 0,0.8 notitle
unset multiplot
}]
    close $f
    exec gnuplot [file join $scratch chart.gp]
}

proc write_report {dir report scratch} {
    set png [file join $dir performance.png]
    chart $png [dict get $report bars] $scratch
    set page "# Performance\n\n"
    if {[dict get $report smoke]} {
        append page "A smoke run with tiny counts: these figures mean nothing.\n\n"
    }
    append page \
        "How qsnclient compares, measured side by side in one run, with what an\n" \
        "application team could use instead: a bare C++ program that sends the\n" \
        "same requests through libcurl with the same options and the same wait\n" \
        "loop (the limit of the host's design), TclCurl and Tcl's own http\n" \
        "package in tclsh, and wish and tclsh for start-up. Every server is one\n" \
        "nginx on 127.0.0.1 answering each POST with `-qsnreply ok`, but for\n" \
        "`sendQSN` against `requestQSN`, which also uses a qsnserver whose\n" \
        "command answers after 50 ms. Contenders run alternately, in a new\n" \
        "order each round; the figures are medians.\n\n" \
        "## Machine\n\n" "- [join [machine] "\n- "]\n" \
        "- CPUs: [dict get $report pinning]\n" \
        "- Load average (one minute): [lindex [dict get $report load] 0] at the start of\n" \
        "  the run, [lindex [dict get $report load] 1] at its end\n\n" \
        "## Results\n\n" [dict get $report table] \n \
        "## Reading the figures\n\n" \
        "- The rows at loglevel 0 compare the request machinery alone: the bare\n" \
        "  program, TclCurl and the http package write no log. At loglevel 3,\n" \
        "  the level a client starts at, each request also writes its trace to\n" \
        "  `qsnclient.log`, sixteen lines, and every message reaches the file\n" \
        "  on its own so that nothing is lost when the process dies: one write\n" \
        "  to the system per message is most of what the difference between\n" \
        "  the two rows buys.\n" \
        "- requestQSN drives libcurl's multi interface with a poll loop, as\n" \
        "  the bare program does; TclCurl calls libcurl's blocking transfer.\n" \
        "  The instruction counts separate the cost of each program's own code\n" \
        "  from the timings' noise.\n" \
        "- Tcl's http package writes a POST's headers and its body in two\n" \
        "  sends; on a kept-alive connection the second waits for the server's\n" \
        "  delayed acknowledgement, which is why a new connection per request\n" \
        "  is faster there.\n" \
        "- `sendQSN` on four sessions has four requests wait on the server side\n" \
        "  by side where `requestQSN` has one; each reply then waits for the\n" \
        "  event source's next look at the transfers, at most 5 ms, which is\n" \
        "  what keeps the ratio under four.\n\n" \
        "## Chart\n\n" "!\[Request rates and start-up times\](performance.png)\n\n" \
        "## Reproducing\n\n" \
        "    bench/run.sh\n\n" \
        "installs what it needs (nginx, TclCurl, gnuplot, valgrind, Xvfb), builds\n" \
        "the project into `build/`, runs every measurement, prints the table and\n" \
        "rewrites this page and its chart. It takes a few minutes; other load on\n" \
        "the machine moves the timings, not the instruction counts.\n"
    set file [file join $dir PERFORMANCE.md]
    append page [others_sections $file]
    set f [open $file w]
    puts -nonewline $f $page
    close $f
}

# The sections of an existing page that other runs write (the scale-out
# run, the Windows run): kept as they are, after this run's own.
proc others_sections {file} {
    if {![file exists $file]} { return "" }
    set f [open $file r]
    set lines [split [read $f] \n]
    close $f
    set own {{## Machine} {## Results} {## Reading the figures} {## Chart} {## Reproducing}}
    set kept {}
    set keep 0
    foreach line $lines {
        if {[string match {## *} $line]} { set keep [expr {$line ni $own}] }
        if {$keep} { lappend kept $line }
    }
    if {$kept eq ""} { return "" }
    return "\n[string trimright [join $kept \n] \n]\n"
}
