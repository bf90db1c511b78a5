# The application the torture runs talk to. Runs go two at a time, so what
# a run leaves on the server is kept under the run's own key.
namespace eval ::rpc {}

proc ::rpc::echo {args} { return $args }
proc ::rpc::fail {message} { error $message }
proc ::rpc::go {path value} {
    qsn::changeurl $path
    return $value
}
proc ::rpc::path {} { qsn::path }
proc ::rpc::note {key value} {
    lappend ::notes($key) $value
    return
}
proc ::rpc::notes {key} {
    if {![info exists ::notes($key)]} { return {} }
    return $::notes($key)
}
