# The application the script-level tests talk to.
namespace eval ::rpc {
    variable hits {}
}

proc ::rpc::echo {args} { return $args }
proc ::rpc::path {} { qsn::path }
proc ::rpc::go {path value} {
    qsn::changeurl $path
    return $value
}
proc ::rpc::failgo {path message} {
    qsn::changeurl $path
    error $message
}
proc ::rpc::fail {message} {inner $message}
proc ::rpc::inner {message} {error $message}
proc ::rpc::raw {status body} { qsn::raw $status $body }
proc ::rpc::rawbytes {status hex} { qsn::raw $status [binary format H* $hex] }
proc ::rpc::setcookie {name value} {
    qsn::setcookie $name $value
    return ok
}
proc ::rpc::cookie {name} { qsn::cookie $name }
# The client's end of the connection the request came on, and a cookie.
proc ::rpc::connection {name} { list [qsn::header REMOTE_PORT] [qsn::cookie $name] }
# The words after the name only make the request larger.
proc ::rpc::header {name args} { qsn::header $name }
proc ::rpc::big {n} { string repeat 0123456789 $n }
proc ::rpc::slow {ms value} {
    qsn::delay $ms
    return $value
}
proc ::rpc::cut {body n} { qsn::cut $body $n }
proc ::rpc::length {text} { string length $text }
proc ::rpc::stuck {} { vwait ::forever }
proc ::rpc::hit {name} {
    lappend ::rpc::hits $name
    return $name
}
proc ::rpc::hits {} {
    set h $::rpc::hits
    set ::rpc::hits {}
    return $h
}
proc ::rpc::привет {name} { return "Привет, $name!" }
