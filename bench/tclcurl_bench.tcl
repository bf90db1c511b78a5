# TclCurl in tclsh, the same requests with the same options as requestQSN:
# one handle reset and set up again for each request, the two form fields,
# no "Expect: 100-continue", every content encoding, cookies on, no peer
# verification.
#
#   tclsh tclcurl_bench.tcl URL COUNT
package require TclCurl

lassign $argv url count
set h [curl::init]

proc request {h url} {
    $h reset
    $h configure -url $url -post 1 -sslverifypeer 0 -encoding all \
        -cookielist "Set-Cookie:" -httpheader [list "Expect:"] \
        -httppost [list name command contents ping] \
        -httppost [list name arglist contents {}] \
        -bodyvar ::body -noprogress 1
    $h perform
    if {[dict get $::body -qsnreply] ne "ok"} {
        puts stderr "unexpected reply: $::body"
        exit 1
    }
}

set start [clock microseconds]
request $h $url
set first [expr {[clock microseconds] - $start}]
for {set i 1} {$i < $count} {incr i} { request $h $url }
set us [expr {[clock microseconds] - $start}]
$h cleanup
puts [format "requests %d seconds %.6f first_ms %.3f" $count [expr {$us / 1e6}] \
          [expr {$first / 1e3}]]
