# The host's side of the benchmark, packed into init.dat and run inside
# qsnclient. The first word of argv picks the measurement; each prints one
# line of "name value" pairs on stdout and exits.
#
#   requests URL COUNT LOGLEVEL  COUNT requests of one small command on one
#                                session: "requests N seconds S first_ms F"
#   memory URL LOW HIGH          resident size after LOW and after HIGH
#                                requests: "rss_low KB rss_high KB"
#   log COUNT                    COUNT mputs lines, then COUNT lines through
#                                puts and flush to a file of the same format,
#                                without and with a timestamp
#   lines WRITER COUNT           COUNT lines of one writer alone (mputs, puts
#                                or stamped), for counting instructions
#   sent URL SESSIONS EACH       SESSIONS sessions, EACH requests sent on each
#                                at once with sendQSN, while an `after 10`
#                                ticker runs: "requests N seconds S
#                                worst_gap_ms G ticks T"
#   waited URL SESSIONS EACH     the same requests with requestQSN, one
#                                session's loop after the other's
#   poll URL COUNT WAIT_MS       what the event source's poll costs: COUNT
#                                requests of 20 to 39 ms, sent with sendQSN
#                                one after the other and waited for with
#                                requestQSN, the same for 10 x COUNT
#                                requests the server answers at once, and
#                                the processor time of the process while
#                                one request waits WAIT_MS: "extra_ms E
#                                quick_extra_ms Q cpu_percent C"

proc rss {} {
    set f [open /proc/self/status r]
    set status [read $f]
    close $f
    regexp {VmRSS:\s+(\d+)} $status -> kb
    return $kb
}

proc check {reply} {
    if {$reply ne "ok"} {
        puts stderr "unexpected reply: $reply"
        exit 1
    }
}

proc requests {url count level} {
    set ::loglevel $level
    set s [createQSNsession $url]
    set start [clock microseconds]
    check [requestQSN $s ping {}]
    set first [expr {[clock microseconds] - $start}]
    for {set i 1} {$i < $count} {incr i} {
        check [requestQSN $s ping {}]
    }
    set us [expr {[clock microseconds] - $start}]
    closeQSNsession $s
    puts [format "requests %d seconds %.6f first_ms %.3f" $count [expr {$us / 1e6}] \
              [expr {$first / 1e3}]]
}

proc memory {url low high} {
    set s [createQSNsession $url]
    for {set i 0} {$i < $low} {incr i} { check [requestQSN $s ping {}] }
    set rss_low [rss]
    for {} {$i < $high} {incr i} { check [requestQSN $s ping {}] }
    puts "rss_low $rss_low rss_high [rss]"
    closeQSNsession $s
}

# The session ids of `count` new sessions on `url`, each used once so that
# its connection is open before anything is timed.
proc sessions {url count} {
    set ids {}
    for {set i 0} {$i < $count} {incr i} {
        set s [createQSNsession $url]
        check [requestQSN $s ping {}]
        lappend ids $s
    }
    return $ids
}

proc sent_done {code reply} {
    if {$code != 0} {
        puts stderr "sendQSN failed: $reply"
        exit 1
    }
    check $reply
    if {[incr ::left -1] == 0} { set ::all_done 1 }
}

proc tick {} {
    set now [clock microseconds]
    if {$::last_tick ne ""} {
        set gap [expr {$now - $::last_tick}]
        if {$gap > $::worst_gap} { set ::worst_gap $gap }
        incr ::ticks
    }
    set ::last_tick $now
    set ::ticker [after 10 tick]
}

proc sent {url count each} {
    set ids [sessions $url $count]
    set ::left [expr {$count * $each}]
    set ::worst_gap 0
    set ::ticks 0
    set ::last_tick ""
    tick
    set start [clock microseconds]
    for {set i 0} {$i < $each} {incr i} {
        foreach s $ids { sendQSN $s ping {} sent_done }
    }
    vwait ::all_done
    set end [clock microseconds]
    set us [expr {$end - $start}]
    after cancel $::ticker
    # A loop held up until the end shows in the time since the last tick.
    set ::worst_gap [expr {max($::worst_gap, $end - $::last_tick)}]
    foreach s $ids { closeQSNsession $s }
    puts [format "requests %d seconds %.6f worst_gap_ms %.3f ticks %d" [expr {$count * $each}] \
              [expr {$us / 1e6}] [expr {$::worst_gap / 1e3}] $::ticks]
}

proc waited {url count each} {
    set ids [sessions $url $count]
    set start [clock microseconds]
    foreach s $ids {
        for {set i 0} {$i < $each} {incr i} { check [requestQSN $s ping {}] }
    }
    set us [expr {[clock microseconds] - $start}]
    foreach s $ids { closeQSNsession $s }
    puts [format "requests %d seconds %.6f" [expr {$count * $each}] [expr {$us / 1e6}]]
}

# The time this process has run on a processor, in nanoseconds.
proc cpu_ns {} {
    set f [open /proc/self/schedstat r]
    set ns [lindex [read $f] 0]
    close $f
    return $ns
}

# Sends the next of `left` requests on `s` once the one before has ended;
# `ms_of` gives each request's server time from its number.
proc poll_next {s left ms_of} {
    if {$left == 0} {
        set ::all_done 1
        return
    }
    sendQSN $s slow [list [{*}$ms_of $left]] [list apply {{s left ms_of code reply} {
        check $reply
        poll_next $s $left $ms_of
    }} $s [incr left -1] $ms_of]
}

# The microseconds `sendQSN` takes over `requestQSN` per request, for
# `count` requests one after the other on `s`, of server times `ms_of`.
proc poll_extra {s count ms_of} {
    set start [clock microseconds]
    for {set left $count} {$left > 0} {incr left -1} {
        check [requestQSN $s slow [list [{*}$ms_of $left]]]
    }
    set waited_us [expr {[clock microseconds] - $start}]
    set start [clock microseconds]
    poll_next $s $count $ms_of
    vwait ::all_done
    expr {double([clock microseconds] - $start - $waited_us) / $count}
}

proc poll {url count wait_ms} {
    lassign [sessions $url 1] s
    set extra_us [poll_extra $s $count {apply {left { expr {20 + $left % 20} }}}]
    set quick_us [poll_extra $s [expr {$count * 10}] {apply {left { return 0 }}}]
    set cpu [cpu_ns]
    set start [clock microseconds]
    sendQSN $s slow [list $wait_ms] {apply {{code reply} { check $reply; set ::all_done 1 }}}
    vwait ::all_done
    set share [expr {([cpu_ns] - $cpu) / 1e3 / ([clock microseconds] - $start) * 100}]
    closeQSNsession $s
    puts [format "extra_ms %.3f quick_extra_ms %.3f cpu_percent %.3f" \
              [expr {$extra_us / 1e3}] [expr {$quick_us / 1e3}] $share]
}

# mputs against what a script would write for itself: puts and flush to a
# file with the log's encoding and line ends, once without and once with a
# timestamp like the one mputs puts in front of each line. Each writer
# writes `count` lines of seven words and returns the microseconds taken.
set words {Заказ 1042 принят: 3 позиции, сумма 1520.50}

proc write_mputs {count} {
    set ::loglevel 3
    set start [clock microseconds]
    for {set i 0} {$i < $count} {incr i} { mputs {*}$::words }
    expr {[clock microseconds] - $start}
}

proc tcl_log {} {
    set f [open puts.log w]
    fconfigure $f -encoding cp866 -translation crlf
    return $f
}

proc write_puts {count} {
    set f [tcl_log]
    set start [clock microseconds]
    for {set i 0} {$i < $count} {incr i} { puts $f $::words; flush $f }
    set us [expr {[clock microseconds] - $start}]
    close $f
    return $us
}

proc write_stamped {count} {
    set f [tcl_log]
    set start [clock microseconds]
    for {set i 0} {$i < $count} {incr i} {
        puts $f "\[[clock format [clock seconds] -format {%d.%m.%Y %H:%M:%S}]\]:$::words"
        flush $f
    }
    set us [expr {[clock microseconds] - $start}]
    close $f
    return $us
}

proc log {count} {
    set mputs_us [write_mputs $count]
    set puts_us [write_puts $count]
    set stamped_us [write_stamped $count]
    puts [format "lines %d mputs_seconds %.6f puts_seconds %.6f stamped_seconds %.6f" \
              $count [expr {$mputs_us / 1e6}] [expr {$puts_us / 1e6}] [expr {$stamped_us / 1e6}]]
}

set mode [lindex $argv 0]
switch -- $mode {
    requests { requests {*}[lrange $argv 1 3] }
    memory   { memory {*}[lrange $argv 1 3] }
    log      { log [lindex $argv 1] }
    lines    { write_[lindex $argv 1] [lindex $argv 2] }
    sent     { sent {*}[lrange $argv 1 3] }
    waited   { waited {*}[lrange $argv 1 3] }
    poll     { poll {*}[lrange $argv 1 3] }
    default  { puts stderr "unknown measurement: $mode"; exit 2 }
}
exit 0
