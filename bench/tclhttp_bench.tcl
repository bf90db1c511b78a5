# Tcl's own http package in tclsh: the same multipart POST of the two form
# fields, built by hand as a script would build it, over one kept-alive
# connection (KEEPALIVE 1) or a new connection per request (0).
#
#   tclsh tclhttp_bench.tcl URL COUNT KEEPALIVE
package require http

lassign $argv url count keepalive
set boundary qsnbench[pid]

proc body {command arglist} {
    set crlf "\r\n"
    set text ""
    foreach {name value} [list command $command arglist $arglist] {
        append text "--$::boundary$crlf" \
            "Content-Disposition: form-data; name=\"$name\"$crlf$crlf" \
            [encoding convertto utf-8 $value] $crlf
    }
    append text "--$::boundary--$crlf"
}

proc request {url} {
    set token [http::geturl $url -keepalive $::keepalive -query [body ping {}] \
                   -type "multipart/form-data; boundary=$::boundary"]
    set reply [http::data $token]
    set code [http::ncode $token]
    http::cleanup $token
    if {$code != 200 || [dict get $reply -qsnreply] ne "ok"} {
        puts stderr "unexpected reply: $code $reply"
        exit 1
    }
}

set start [clock microseconds]
request $url
set first [expr {[clock microseconds] - $start}]
for {set i 1} {$i < $count} {incr i} { request $url }
set us [expr {[clock microseconds] - $start}]
puts [format "requests %d seconds %.6f first_ms %.3f" $count [expr {$us / 1e6}] \
          [expr {$first / 1e3}]]
