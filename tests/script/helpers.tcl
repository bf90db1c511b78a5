# Helpers for the script-level tests that run inside qsnclient.

# The log as written so far, CP866 decoded, CR LF kept.
proc logtext {} {
    set f [open [file join $::peer(dir) qsnclient.log] r]
    fconfigure $f -encoding cp866 -translation lf
    set text [read $f]
    close $f
    return $text
}

# What the log gained since `mark`, an earlier [string length [logtext]].
proc logsince {mark} {
    string range [logtext] $mark end
}

# Runs `script` and returns what it added to the log.
proc logof {script} {
    set mark [string length [logtext]]
    uplevel 1 $script
    logsince $mark
}

# A fresh session on the test server, closed by `cleanupsessions`.
proc session {{url {}} args} {
    if {$url eq {}} { set url $::peer(http) }
    set s [createQSNsession $url {*}$args]
    lappend ::opensessions $s
    return $s
}
proc cleanupsessions {} {
    foreach s [lsort -unique [set ::opensessions]] { catch {closeQSNsession $s} }
    set ::opensessions {}
}
set ::opensessions {}

# Milliseconds taken by `script`.
proc elapsed {script} {
    set t [clock milliseconds]
    uplevel 1 $script
    expr {[clock milliseconds] - $t}
}
