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
    default  { puts stderr "unknown measurement: $mode"; exit 2 }
}
exit 0
