# The script of a torture run of the host: start-up and the log, then the
# requests a script typically makes, each in a unit of its own. A unit's
# outcome goes to outcome.txt as one line: its name, its Tcl return code
# and its result; "end" follows the last. Arguments: the server's URL, a
# URL nothing listens on, and the run's key for what it leaves on the
# server.
lassign $argv url refused key
set out [open outcome.txt w]
fconfigure $out -encoding utf-8

proc unit {name} {
    set code [catch unit_$name result]
    # libcurl's texts tell how long a connection took.
    regsub -all {after \d+ ms} $result {after # ms} result
    puts $::out [list $name $code $result]
    flush $::out
}

# The units' session, opened again by the next unit when opening failed.
proc sess {} {
    if {![info exists ::s]} { set ::s [createQSNsession $::url] }
    return $::s
}

proc stats {name value} { lappend ::reported $name }

# ASCII, Cyrillic, and characters the log's converter takes from iconv.
proc unit_log {} {
    mputs Начало работы 1° ░
    return $::loglevel
}

# A NUL and a character past U+FFFF take a conversion of their own, both ways.
proc unit_waited {} {
    set ::reported {}
    set sent [list a б "\0[encoding convertfrom utf-8 \xF0\x9F\x98\x80]"]
    set reply [requestQSN [sess] echo $sent 0 stats]
    list [expr {$reply eq $sent ? "echoed" : "changed: $reply"}] $::reported
}

proc unit_server_error {} {
    if {![catch {requestQSN [sess] fail boom} message]} { return "no error: $message" }
    if {$message ne "boom"} { error $message }
    lindex [split $::errorInfo \n] 0
}

proc unit_nowait {} {
    requestQSN [sess] note [list $::key a] 1
    requestQSN [sess] notes [list $::key]
}

proc unit_changeurl {} {
    list [requestQSN [sess] go [list /moved done]] [requestQSN [sess] path {}]
}

# Two sendQSN requests, concluded in the event loop in order; the first
# reports its statistics. A done command that is never called is a result
# of its own, which no run may give.
proc unit_send {} {
    set ::sent {}
    set ::reported {}
    sendQSN [sess] echo first {lappend ::sent} stats
    sendQSN [sess] echo second {apply {{code value} {
        lappend ::sent $code $value
        set ::sentdone 1
    }}}
    set timer [after 20000 {set ::sentdone lost}]
    if {[catch {vwait ::sentdone}] || $::sentdone eq "lost"} { return "lost: $::sent" }
    after cancel $timer
    foreach {code value} $::sent {
        if {$code != 0} { return -code error $value }
    }
    list $::sent $::reported
}

proc unit_refused {} {
    set r [createQSNsession $::refused]
    set code [catch {requestQSN $r echo x} message]
    closeQSNsession $r
    if {$code == 1 && [string match "*Couldn't connect to server $::refused" $message]} {
        return refused
    }
    return -code $code $message
}

# Every option of a session set, files read, and applied to a request;
# over HTTP the TLS ones have nothing to check.
proc unit_configured {} {
    set c [createQSNsession $::url]
    set code [catch {
        configureQSNsession $c -pinnedkey init.dat -verify 1 -cafile init.dat \
            -timeout 20000 -connecttimeout 20000 -proxyuser tester:s3cret
        requestQSN $c echo configured
    } result]
    closeQSNsession $c
    return -code $code $result
}

# A no-wait request still running when its session closes is abandoned.
proc unit_close {} {
    set s [sess]
    requestQSN $s note [list $::key b] 1
    closeQSNsession $s
    unset ::s
    catch {closeQSNsession $s} message
    return $message
}

unit log
# From here on the log takes errors only: its other lines take the same
# calls as the one above, and a run is the shorter for it.
set loglevel 1
foreach name {waited server_error nowait changeurl send refused configured close} { unit $name }
puts $out end
close $out
