# An example application for qsnserver: a counter per client and a greeting.
# Run: build/server/qsnserver --listen 127.0.0.1:8080 server/example_app.tcl

namespace eval rpc {}

# requestQSN $s hello {World}  ->  Hello, World!
proc rpc::hello {name} {
    return "Hello, $name!"
}

# Counts the calls of one client, kept in a cookie.
proc rpc::count {} {
    set n [qsn::cookie n]
    if {![string is integer -strict $n]} { set n 0 }
    incr n
    qsn::setcookie n $n
    return $n
}

# Signs a user in and moves the client to a path of its own; later requests
# of that client arrive on it.
proc rpc::login {user} {
    if {![regexp {^[a-z][a-z0-9]*$} $user]} {
        error "bad user name \"$user\""
    }
    qsn::changeurl /users/$user
    return "welcome $user"
}

proc rpc::whoami {} {
    if {![regexp {^/users/([a-z0-9]+)$} [qsn::path] -> user]} {
        error "not logged in"
    }
    return $user
}
